#pragma once
// The operator's two command lists: the fixed signalling table and the four
// media sets that follow the selection in the device tree.

#include <cstddef>
#include <span>
#include <string>

// Message kinds carried with every outgoing text; they pick the root element
// of the body and the SIP request that carries it.
enum MessageKind : int {
    kKindQuery = 1,     // Query, MESSAGE
    kKindNotify = 2,    // Notify, built but never sent
    kKindControl = 4,   // Control, MESSAGE
    kKindInvite = 5,    // stream offer, INVITE
    kKindInfo = 6,      // playback control, INFO
    kKindSubscribe = 7, // Subscribe, SUBSCRIBE
};

// What a media row does with a stream (the media session acts on it); rows
// that build a MANSCDP body are None.
enum class MediaRowAction {
    None,
    OpenLive,
    OpenVoice,
    OpenDownload,
    OpenPlayback,
    CancelLive,
    CancelDownload,
    CancelPlayback,
    PlaybackControl,
};

struct CommandEntry {
    int kind;
    const char* command; // CmdType text, or the stream / playback type
    const char* label;   // text of the list row, also the message description
    MediaRowAction action = MediaRowAction::None;
};

// 43 rows of the 2016 table, then the 16 rows of the 2022 edition.
constexpr std::size_t kSignallingRows = 59;

// Row indices of the signalling table used by the automatic query chain.
constexpr int kRowDeviceInfo = 0;
constexpr int kRowDeviceStatus = 1;
constexpr int kRowCatalog = 2;

// Media sets: 0 channel, 1 channel with live view, 2 recording, 3 recording
// with an open download or playback.
constexpr int kMediaSetCount = 4;

std::span<const CommandEntry> SignallingTable();
// An unknown set number gives an empty span.
std::span<const CommandEntry> MediaSet(int set);

// Root element name for a kind; any kind without a root of its own gets Query.
const char* RootForKind(int kind);

#pragma once
// The texts of the media rows: SDP offers for live view, playback, download
// and the two voice operations, and the MANSRTSP playback control texts.
// Pure functions of their inputs; the session decides when each is built.

#include "manscdp/builder/CommandEntry.h" // MediaRowAction, the media sets
#include <cstddef>
#include <cstdint>
#include <string>

// Message buffer of the send step: 2047 characters and the terminator.
constexpr std::size_t kMediaTextRoom = 2047;

constexpr const char* kSdpContentType = "application/sdp";
// Playback control goes out with the type GB/T 28181 peers expect, not the
// MANSCDP one.
constexpr const char* kMansrtspContentType = "Application/MANSRTSP";

// What the owner knows when the operator acts: the media receiver settings
// (section "媒体接收者"), the selected channel and its device, and the last recording search.
struct MediaInputs {
    int transport = -1;      // "协议": 0 UDP, 1 TCP passive, 2 TCP active, 3 actpass, 4 holdconn
    std::string address;     // "地址": the receiver's IPv4 address as dotted text
    int port = -1;           // "端口": the receiver's port
    int downloadSpeed = 255; // "下载速度": 1 to 64
    std::string deviceId;    // the selected channel's (or device's) identifier (at most 31 characters are used)
    std::string deviceAddress;    // its IPv4 address: the receiver's peer
    std::int64_t searchStart = 0; // the last search's range, seconds since 1970
    std::int64_t searchEnd = 0;
    // "TCP旧角色读法" (国标参数配置): the offer's a=setup names the device's role
    // instead of ours (RFC 4145). Only for devices that read it that way.
    bool legacySetup = false;
    // 保存PS流: a download also keeps the program stream as received, in
    // <channel>-<start>-<end>.ps beside its .mp4.
    bool savePs = false;
    // The channel the stream is of (u= of playback and download); the device's
    // identifier when empty.
    std::string channelId;
    // The recording clicked, seconds since 1970: the range of playback and
    // download when recordEnd > recordStart, else the last search's.
    std::int64_t recordStart = 0;
    std::int64_t recordEnd = 0;
    // "国标版本" 2022 (the core's default): the video offers add H.265 in
    // payload type 100, the live offer names its stream (a=streamnumber), and
    // an answer's payload type 100 without a=rtpmap reads as H.265.
    bool edition2022 = false;
    // The live view's 码流 choice: 0 the main stream, 1 the sub stream (2022 only).
    int streamNumber = 0;
};

// The payload types both editions fix; 2022 adds H.265 and AAC.
constexpr int kPayloadPs = 96;
constexpr int kPayloadMpeg4 = 97;
constexpr int kPayloadH264 = 98;
constexpr int kPayloadH265 = 100; // 2022
constexpr int kPayloadAac = 102;  // 2022

// What the receiver does on TCP for the transport index: RFC 4145 reads
// "TCP passive" (a=setup:passive) as our role, so we listen and the device
// connects, and "TCP active" as ours, so we connect to the answer's address and
// port. The old reading swaps both. UDP (0), actpass (3) and holdconn (4)
// neither listen nor connect.
enum class TcpRole { None, Listen, Connect };
TcpRole ReceiverTcpRole(const MediaInputs& in);

enum class MediaStream : int { None = -1, Live = 0, Playback = 1, Download = 2, Voice = 3 };

// A row of the four media sets as the session acts on it, read from the media
// list's own table (manscdp/builder); rows that build a MANSCDP body are None.
struct MediaRow {
    MediaRowAction action = MediaRowAction::None;
    const char* command = nullptr; // the row's command: s= of an offer, method of a control text
    int kind = 0;                  // 5 INVITE, 6 INFO
};

MediaRow MediaRowAt(int set, int row);

// The stream a row opens or ends (None for control rows and other rows).
MediaStream StreamOfRow(const MediaRow& r);

// The whole offer of an opening row (OpenLive, OpenVoice, OpenDownload,
// OpenPlayback), unbounded: the caller checks it against kMediaTextRoom.
std::string OfferText(const MediaRow& r, const MediaInputs& in);

// The MANSRTSP text of rows 2 to 8 of set 3; empty for any other row.
std::string PlaybackControlText(int row);

// "%02d:%02d:%02d" of a count of seconds: hours, minutes within the hour, seconds.
std::string ClockText(std::int64_t seconds);

#pragma once
// What the window shows of the signalling core. The core calls these from the
// SIP thread as well as from the GUI thread; an implementation hands them to
// its GUI thread (queued) and never waits there.

#include "manscdp/builder/CommandBuilder.h"

#include <string>
#include <vector>

enum LogDirection : int { kLogSent = 1, kLogReceived = 2 };

// One logged message, as it goes into the list and into a sheet row.
struct LogRow {
    int direction = 0;
    std::string time;     // "%Y-%m-%dT%H:%M:%S.mmm"
    std::string typeText; // message type text at the time of logging
    std::string deviceId;
    std::string body; // bytes as on the wire, or "No Body!\n"
    std::string head; // start line and headers, at most 2047 bytes, then "\n"
    std::string bodyText; // body decoded for display (UTF-8)
    std::string headText; // head decoded for display (UTF-8)

    // The list shows the time of day with milliseconds.
    std::string ListTime() const { return time.size() > 11 ? time.substr(11) : time; }
};

// A copy of the device tree for the view: the root carries this system's SIP
// identifier; item ids identify items in clicks.
struct TreeItem {
    int item = 0;
    std::string text;
    int kind = 0; // NodeKind of the node the item was made for; 0 for the root
    bool expanded = false;
    std::vector<TreeItem> children;
};

class ISignalView : public ICommandView {
public:
    virtual void AppendLogRow(const LogRow& row) = 0;
    virtual void RebuildDeviceTree(const TreeItem& root) = 0;
    virtual void ShowMessageBox(const std::string& text) = 0;
    // Playback length of a clicked recording: progress text and bar.
    virtual void SetPlaybackProgress(const std::string& text, int rangeSeconds, int position) = 0;
};

#pragma once
// The seams of the media session (CMediaSession.h): what it asks of its owner
// and what it tells it. None of them may block the caller: they are called on
// the operator's thread, the SIP event thread and the media receive thread.

#include "media/session/StreamStatistics.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>

// Ends calls on the wire. The owner queues the request to its SIP thread and
// returns at once: the session calls this on the operator's thread and must
// never wait for the SIP thread.
class IMediaSignal {
public:
    virtual ~IMediaSignal() = default;
    // BYE for an answered call (cid, did as the SIP layer reported them).
    virtual void EndCall(int cid, int did) = 0;
};

// What the window shows of the stream; each field, when set, replaces what
// the control shows.
struct MediaViewUpdate {
    std::optional<std::string> statistics;   // the statistics line under the video view
    std::optional<std::string> progressText; // the label right of the progress bar
    std::optional<int> progressMax;          // the bar's range becomes 0 .. progressMax
    std::optional<int> progressPos;          // the bar's position
    std::optional<std::string> message;      // a line for the operator's message list
    std::optional<StreamFigures> figures;    // the numbers of the statistics line (the window's plots)
};

// The window's side. Called on the media receive thread (at most a few times a
// second, each update carrying the latest figures) and on the operator's
// thread. An implementation posts the update to its GUI thread and returns:
// it must not block, nor call back into the session.
class IMediaView {
public:
    virtual ~IMediaView() = default;
    virtual void UpdateMediaView(const MediaViewUpdate& update) = 0;
};

// Monotonic time of the statistics; tests step it by hand. Empty means
// std::chrono::steady_clock.
using MediaClock = std::function<std::chrono::steady_clock::time_point()>;

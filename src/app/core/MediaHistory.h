#pragma once
// The recent figures of the stream the video view shows, for the window's
// plots: one sample a second at most (the session publishes a few a second),
// the last kSamples of them. Toolkit-free; GUI thread only.

#include "media/session/StreamStatistics.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

class MediaHistory {
public:
    static constexpr std::size_t kSamples = 300; // five minutes at one a second
    using Clock = std::chrono::steady_clock;

    struct Sample {
        double seconds = 0;       // since the first sample of this stream
        int fps = 0;              // frames received in the last second
        int kbitPerSecond = 0;    // bits received in the last second / 1000
        std::uint64_t lost = 0;   // packets lost since the sample before
        std::uint64_t lostTotal = 0;
        double jitterMs = 0;      // the receiver's interarrival jitter (0 before it is known)
    };

    // A figure update at now. A stream that starts again (its elapsed time or
    // totals went back) begins a new history.
    void Add(const StreamFigures& f, Clock::time_point now);
    void Clear();
    const std::deque<Sample>& Samples() const { return samples_; }
    // The latest figures as they came (codec, size, SSRC of the stream).
    const StreamFigures& Latest() const { return latest_; }

private:
    std::deque<Sample> samples_;
    StreamFigures latest_;
    Clock::time_point first_{};
    std::int64_t lastElapsed_ = -1;
    std::uint64_t lastFrames_ = 0;
    std::uint64_t lostBefore_ = 0; // the total at the sample before the last
};

// One MediaHistory per open call (CMediaSession::OpenCalls, polled): kept
// apart by slot and call id. A call the session no longer lists is ended; it
// stays kDropAfter, then goes. At most kMaxCalls are kept (the oldest ended
// go first). Toolkit-free; GUI thread only.
class MediaCalls {
public:
    static constexpr std::chrono::minutes kDropAfter{3};
    static constexpr std::size_t kMaxCalls = 16;
    using Clock = MediaHistory::Clock;

    struct Call {
        int slot = 0;
        int callId = 0;
        std::string label; // CallLabel: "实时 34020000001310000001"
        bool drawn = false;
        bool ended = false;
        Clock::time_point endedAt{};
        MediaHistory history;
    };

    // The open calls' figures at now: each goes to its call's history (a new
    // call is added at the end); calls not among them end now.
    void Update(const std::vector<CallFigures>& open, Clock::time_point now);
    // In the order they were first seen.
    const std::vector<Call>& Calls() const { return calls_; }
    // The call of slot and call id, or null.
    const Call* Find(int slot, int callId) const;

private:
    std::vector<Call> calls_;
};

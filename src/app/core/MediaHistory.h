#pragma once
// The recent figures of the stream the video view shows, for the window's
// plots: one sample a second at most (the session publishes a few a second),
// the last kSamples of them. Toolkit-free; GUI thread only.

#include "media/session/StreamStatistics.h"

#include <chrono>
#include <cstdint>
#include <deque>

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

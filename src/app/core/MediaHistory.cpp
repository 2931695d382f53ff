#include "app/core/MediaHistory.h"

void MediaHistory::Clear() {
    samples_.clear();
    lastElapsed_ = -1;
    lastFrames_ = 0;
    lostBefore_ = 0;
    latest_ = StreamFigures{};
}

void MediaHistory::Add(const StreamFigures& f, Clock::time_point now) {
    // A new stream: its receiver counts from zero again.
    if (!samples_.empty() && (f.elapsed < lastElapsed_ || f.frames < lastFrames_ ||
                              f.lostPackets < samples_.back().lostTotal))
        Clear();
    lastElapsed_ = f.elapsed;
    lastFrames_ = f.frames;
    if (samples_.empty()) first_ = now;
    const double seconds = std::chrono::duration<double>(now - first_).count();
    // Several updates within a second: the latest figures replace the last
    // sample's and its loss counts from the sample before it.
    const bool merge = !samples_.empty() && seconds - samples_.back().seconds < 1.0;
    if (!merge) {
        Sample s;
        s.seconds = seconds;
        lostBefore_ = samples_.empty() ? 0 : samples_.back().lostTotal;
        samples_.push_back(s);
        while (samples_.size() > kSamples) samples_.pop_front();
    }
    Sample& last = samples_.back();
    last.fps = f.fps;
    last.kbitPerSecond = static_cast<int>(static_cast<long long>(f.kbytesPerSecond) * 1024 * 8 / 1000);
    last.lostTotal = f.lostPackets;
    last.lost = f.lostPackets - lostBefore_;
    last.jitterMs = f.haveJitter ? f.jitterMs : 0;
    latest_ = f;
}

#include "app/core/MediaHistory.h"

#include <algorithm>

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

const MediaCalls::Call* MediaCalls::Find(int slot, int callId) const {
    for (const Call& c : calls_)
        if (c.slot == slot && c.callId == callId) return &c;
    return nullptr;
}

void MediaCalls::Update(const std::vector<CallFigures>& open, Clock::time_point now) {
    for (Call& c : calls_) {
        bool listed = false;
        for (const CallFigures& f : open) listed = listed || (f.slot == c.slot && f.callId == c.callId);
        if (!listed && !c.ended) {
            c.ended = true;
            c.drawn = false;
            c.endedAt = now;
        }
    }
    for (const CallFigures& f : open) {
        auto it = std::find_if(calls_.begin(), calls_.end(), [&](const Call& k) {
            return k.slot == f.slot && k.callId == f.callId;
        });
        Call* c = it == calls_.end() ? nullptr : &*it;
        if (!c || c->ended) {
            // A slot's call id is 0 until its INVITE is known, and a slot may
            // be reused for the same id only by a new call: start afresh.
            if (c) *c = Call{};
            else c = &calls_.emplace_back();
            c->slot = f.slot;
            c->callId = f.callId;
        }
        c->label = CallLabel(f.slot, f.channel);
        c->drawn = f.drawn;
        c->history.Add(f.figures, now);
    }
    std::erase_if(calls_, [&](const Call& c) { return c.ended && now - c.endedAt >= kDropAfter; });
    // Over the bound: the longest ended go first, then the oldest.
    while (calls_.size() > kMaxCalls) {
        auto victim = calls_.begin();
        for (auto it = calls_.begin(); it != calls_.end(); ++it)
            if (it->ended && (!victim->ended || it->endedAt < victim->endedAt)) victim = it;
        calls_.erase(victim);
    }
}

#include "media/session/StreamStatistics.h"

#include "manscdp/search/CDlgSearch.h"
#include "media/session/MediaTexts.h"

#include <cstdio>

void StreamCounters::Reset() {
    frames_ = 0;
    empty_ = 0;
    bytes_ = 0;
}

void StreamCounters::Count(std::int32_t length) {
    if (length > 0) {
        frames_.fetch_add(1, std::memory_order_relaxed);
        bytes_.fetch_add(static_cast<std::uint64_t>(length), std::memory_order_relaxed);
    } else {
        empty_.fetch_add(1, std::memory_order_relaxed);
    }
}

StreamFigures StreamCounters::Read(std::int64_t elapsed) const {
    return {frames_.load(std::memory_order_relaxed), empty_.load(std::memory_order_relaxed),
            bytes_.load(std::memory_order_relaxed), elapsed};
}

std::string StatisticsLine(const StreamFigures& f) {
    const unsigned long kb = static_cast<unsigned long>(f.bytes >> 10);
    int fps = 25, rate = 128;
    if (f.elapsed > 0) {
        fps = static_cast<int>(f.frames / f.elapsed);
        rate = static_cast<int>(static_cast<std::int64_t>(kb) / f.elapsed);
    }
    char line[160];
    std::snprintf(line, sizeof line,
                  "解码 %u帧 丢 %u帧 帧率 %d Fps 接收数据 %lu KB 码率 %d KBps \n", f.frames,
                  f.empty, fps, kb, rate);
    return line;
}

ProgressShown ProgressFor(const StreamFigures& f, bool downloadOpen, int speed,
                          std::int32_t duration) {
    ProgressShown p;
    if (!downloadOpen) {
        p.text = ClockText(f.elapsed) + "/12:00:00";
        return p;
    }
    const std::int64_t position = static_cast<std::int64_t>(speed) * f.elapsed;
    if (position > duration) return p; // past the end: bar and label stay
    p.pos = static_cast<int>(position);
    p.text = ClockText(position) + "/" + ClockText(duration);
    return p;
}

std::int32_t RecordingDuration(const std::string& startText, const std::string& endText) {
    const std::int64_t d =
        CDlgSearch::TextToSeconds(endText) - CDlgSearch::TextToSeconds(startText);
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(d));
}

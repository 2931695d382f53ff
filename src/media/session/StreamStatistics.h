#pragma once
// The figures of one received stream and the texts the window shows of them:
// the statistics line, the elapsed or download-progress label and the bar.

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

struct StreamFigures {
    std::uint32_t frames = 0; // frames of non-zero length handed to the decoder
    std::uint32_t empty = 0;  // deliveries of length 0, shown as lost frames
    std::uint64_t bytes = 0;  // sum of the delivered lengths
    std::int64_t elapsed = 0; // whole seconds since the receiver started
};

// Written by the receive thread only; cleared before the display is switched
// on, so readers on other threads see a consistent-enough snapshot.
class StreamCounters {
public:
    void Reset();
    void Count(std::int32_t length);
    StreamFigures Read(std::int64_t elapsed) const;

private:
    std::atomic<std::uint32_t> frames_{0};
    std::atomic<std::uint32_t> empty_{0};
    std::atomic<std::uint64_t> bytes_{0};
};

// "解码 %u帧 丢 %u帧 帧率 %d Fps 接收数据 %lu KB 码率 %d KBps \n": averages over the
// whole stream, 25 Fps and 128 KBps while no whole second has passed.
std::string StatisticsLine(const StreamFigures& f);

struct ProgressShown {
    std::optional<std::string> text;
    std::optional<int> pos;
};

// A download counts speed seconds of the recording for each second received
// and stops moving once past the recording's duration; any other stream shows
// its elapsed time against "12:00:00".
ProgressShown ProgressFor(const StreamFigures& f, bool downloadOpen, int speed,
                          std::int32_t duration);

// End minus start of a record's time texts ("%4d-%2d-%2dT%2d:%2d:%2d", local
// time without daylight saving); a text that does not read counts as 0.
std::int32_t RecordingDuration(const std::string& startText, const std::string& endText);

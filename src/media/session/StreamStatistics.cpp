#include "media/session/StreamStatistics.h"

#include "manscdp/search/CDlgSearch.h"
#include "media/session/MediaTexts.h"

#include <algorithm>
#include <cstdio>

void StreamCounters::Reset() {
    frames_ = 0;
    empty_ = 0;
    bytes_ = 0;
    std::lock_guard<std::mutex> l(lock_);
    window_.clear();
    totals_ = {};
    haveStreamTime_ = false;
    lastTimestamp_ = 0;
    streamTicks_ = 0;
}

void StreamCounters::Count(std::int32_t length) {
    if (length > 0) {
        frames_.fetch_add(1, std::memory_order_relaxed);
        bytes_.fetch_add(static_cast<std::uint64_t>(length), std::memory_order_relaxed);
    } else {
        empty_.fetch_add(1, std::memory_order_relaxed);
    }
}

void StreamCounters::Count(const FrameSample& frame, Clock::time_point now) {
    Count(frame.length);
    if (frame.length <= 0) return; // a pack without video is no frame of the rate
    std::lock_guard<std::mutex> l(lock_);
    while (!window_.empty() &&
           (window_.front().at < now - kWindow || window_.size() >= kMaxWindowFrames))
        window_.pop_front();
    window_.push_back({now, frame.length, frame.haveTimestamp, frame.rtpTimestamp});
    if (!frame.haveTimestamp) return;
    if (haveStreamTime_) {
        const std::uint32_t d = frame.rtpTimestamp - lastTimestamp_;
        if (d > 0 && d <= 2 * 90000) streamTicks_ += d;
    }
    haveStreamTime_ = true;
    lastTimestamp_ = frame.rtpTimestamp;
}

void StreamCounters::Note(const StreamTotals& totals) {
    std::lock_guard<std::mutex> l(lock_);
    totals_ = totals;
}

StreamFigures StreamCounters::Read(std::int64_t elapsed) const {
    StreamFigures f;
    f.frames = frames_.load(std::memory_order_relaxed);
    f.empty = empty_.load(std::memory_order_relaxed);
    f.bytes = bytes_.load(std::memory_order_relaxed);
    f.elapsed = elapsed;
    std::lock_guard<std::mutex> l(lock_);
    f.pictures = totals_.pictures;
    f.undecodable = totals_.undecodable;
    f.lostPackets = totals_.lostPackets;
    f.haveJitter = totals_.haveJitter;
    f.jitterMs = totals_.jitterMs;
    f.haveSsrc = totals_.haveSsrc;
    f.ssrc = totals_.ssrc;
    f.streamType = totals_.streamType;
    f.width = totals_.width;
    f.height = totals_.height;
    f.streamSeconds = static_cast<std::int64_t>(streamTicks_ / 90000);
    return f;
}

StreamFigures StreamCounters::Read(std::int64_t elapsed, Clock::time_point now) const {
    StreamFigures f = Read(elapsed);
    std::lock_guard<std::mutex> l(lock_);
    std::uint64_t bytes = 0;
    int frames = 0;
    // The device's rate: frames per second of its own RTP clock (90 kHz),
    // from the steps between consecutive frames of the window. A step back
    // or of more than two seconds (a seek, a new stream) is left out.
    std::uint64_t ticks = 0;
    int steps = 0;
    const Entry* prev = nullptr;
    for (const Entry& e : window_) {
        if (e.at < now - kWindow || e.at > now) continue;
        ++frames;
        bytes += static_cast<std::uint64_t>(e.length);
        if (e.haveTimestamp) {
            if (prev) {
                const std::uint32_t d = e.rtpTimestamp - prev->rtpTimestamp;
                if (d > 0 && d <= 2 * 90000) {
                    ticks += d;
                    ++steps;
                }
            }
            prev = &e;
        }
    }
    f.fps = frames;
    f.kbytesPerSecond = static_cast<int>(bytes >> 10);
    f.deviceFps = ticks ? static_cast<int>((steps * 90000.0) / static_cast<double>(ticks) + 0.5) : 0;
    return f;
}

std::string CallLabel(int slot, const std::string& channel) {
    static const char* const kinds[] = {"实时", "回放", "下载", "手动"};
    const char* kind = slot >= 0 && slot < 4 ? kinds[slot] : "?";
    return channel.empty() ? std::string(kind) : std::string(kind) + " " + channel;
}

std::string CodecName(std::uint8_t streamType) {
    if (streamType == 0) return {};
    if (streamType == 0x1B) return "H.264";
    if (streamType == 0x24) return "H.265";
    char t[32];
    std::snprintf(t, sizeof t, "类型 0x%02X", static_cast<unsigned>(streamType));
    return t;
}

std::string StatisticsLine(const StreamFigures& f) {
    const unsigned long kb = static_cast<unsigned long>(f.bytes >> 10);
    char line[200];
    std::snprintf(line, sizeof line,
                  "解码 %llu帧 丢 %llu包 坏 %llu帧 帧率 %d Fps 设备 %d Fps 接收数据 %lu KB 码率 %d "
                  "KBps \n",
                  static_cast<unsigned long long>(f.pictures),
                  static_cast<unsigned long long>(f.lostPackets),
                  static_cast<unsigned long long>(f.undecodable), f.fps, f.deviceFps, kb,
                  f.kbytesPerSecond);
    return line;
}

ProgressShown ProgressFor(const StreamFigures& f, bool recording, std::int32_t duration,
                          std::int64_t fileSize) {
    ProgressShown p;
    if (recording && fileSize > 0) {
        const std::uint64_t got = std::min<std::uint64_t>(f.bytes, static_cast<std::uint64_t>(fileSize));
        const double share = static_cast<double>(got) / static_cast<double>(fileSize);
        if (duration > 0) {
            const auto position = static_cast<std::int64_t>(share * duration);
            p.pos = static_cast<int>(position);
            p.max = duration;
            p.text = ClockText(position) + "/" + ClockText(duration);
        } else {
            p.pos = static_cast<int>(share * 100);
            p.max = 100;
            p.text = std::to_string(got / 1024) + " KB/" + std::to_string(fileSize / 1024) + " KB";
        }
        return p;
    }
    if (!recording || duration <= 0) {
        p.text = ClockText(f.elapsed) + "/12:00:00";
        return p;
    }
    const std::int64_t position = std::min<std::int64_t>(f.streamSeconds, duration);
    p.pos = static_cast<int>(position);
    p.max = duration;
    p.text = ClockText(position) + "/" + ClockText(duration);
    return p;
}

std::int32_t RecordingDuration(const std::string& startText, const std::string& endText) {
    const std::int64_t d =
        CDlgSearch::TextToSeconds(endText) - CDlgSearch::TextToSeconds(startText);
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(d));
}

#pragma once
// The figures of one received stream and the texts the window shows of them:
// the statistics line, the elapsed or download-progress label and the bar.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

struct StreamFigures {
    std::uint32_t frames = 0; // frames of non-zero length handed to the decoder
    std::uint32_t empty = 0;  // deliveries of length 0 (a pack without video: audio, padding)
    std::uint64_t bytes = 0;  // sum of the delivered lengths
    std::int64_t elapsed = 0; // whole seconds since the receiver started
    // Added with the sliding window (read with a time, see StreamCounters):
    std::uint64_t pictures = 0;    // pictures the decoder showed
    std::uint64_t undecodable = 0; // frames it could not decode, pictures it could not show
    std::uint64_t lostPackets = 0; // RTP sequence numbers skipped (late arrivals taken back)
    int fps = 0;                   // frames received in the last second
    int deviceFps = 0;             // the device's own rate, from those frames' RTP timestamps
    int kbytesPerSecond = 0;       // KB (1024 bytes) received in the last second
    // The stream's own time: its RTP timestamps (90 kHz) from the first frame
    // to the last, whole seconds; steps back or of more than 2 s (a restart,
    // a seek) are left out.
    std::int64_t streamSeconds = 0;
    // What the stream is (the media pane): from StreamTotals.
    bool haveJitter = false;
    double jitterMs = 0;           // RTP interarrival jitter at the stream's clock, ms
    bool haveSsrc = false;
    std::uint32_t ssrc = 0;        // the followed source
    std::uint8_t streamType = 0;   // video stream type (0x1B H.264, 0x24 H.265); 0 unknown
    std::int32_t width = 0, height = 0; // of the last picture shown; 0 before one
};

// The figures of one open call's stream, for the media pane's chooser: the
// stream slot (0 live view, 1 playback, 2 download, 3 an INVITE typed by
// hand), the call id its INVITE went out with (0 before it is known), the
// channel (or device) it asked, and whether it is the stream drawn. A stream
// not drawn is not decoded: its pictures, size and undecodable counts are 0.
struct CallFigures {
    int slot = 0;
    int callId = 0;
    std::string channel;
    bool drawn = false;
    StreamFigures figures;
};

// "实时 34020000001310000001": the kind of stream (实时, 回放, 下载, 手动) and its channel.
std::string CallLabel(int slot, const std::string& channel);

// "H.264", "H.265", "类型 0xNN" for another stream type, "" before one is known.
std::string CodecName(std::uint8_t streamType);

// What the receive thread knows when a frame has been handed on.
struct FrameSample {
    std::int32_t length = 0;
    bool haveTimestamp = false; // the frame's RTP timestamp is known
    std::uint32_t rtpTimestamp = 0;
};

// Totals that come from elsewhere (the decoder, the receiver's sequence count).
struct StreamTotals {
    std::uint64_t pictures = 0;
    std::uint64_t undecodable = 0;
    std::uint64_t lostPackets = 0;
    bool haveJitter = false;
    double jitterMs = 0;
    bool haveSsrc = false;
    std::uint32_t ssrc = 0;
    std::uint8_t streamType = 0;
    std::int32_t width = 0, height = 0;
};

// Written by the receive thread; read from any thread. The window figures are
// those of the frames that arrived within the second before the time read at:
// a stalled or paused stream reads 0 a second after its last frame.
class StreamCounters {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kWindow{1000};
    // The window keeps at most this many frames (a 1000 fps stream); older
    // ones beyond it fall out early.
    static constexpr std::size_t kMaxWindowFrames = 1000;

    void Reset();
    void Count(std::int32_t length);
    // A frame at now, and the totals of the moment.
    void Count(const FrameSample& frame, Clock::time_point now);
    void Note(const StreamTotals& totals);
    // Totals only: the window figures stay 0.
    StreamFigures Read(std::int64_t elapsed) const;
    // Totals and the window ending at now.
    StreamFigures Read(std::int64_t elapsed, Clock::time_point now) const;

private:
    struct Entry {
        Clock::time_point at;
        std::int32_t length;
        bool haveTimestamp;
        std::uint32_t rtpTimestamp;
    };
    std::atomic<std::uint32_t> frames_{0};
    std::atomic<std::uint32_t> empty_{0};
    std::atomic<std::uint64_t> bytes_{0};
    mutable std::mutex lock_; // the window and the totals below
    std::deque<Entry> window_;
    StreamTotals totals_;
    bool haveStreamTime_ = false;
    std::uint32_t lastTimestamp_ = 0;
    std::uint64_t streamTicks_ = 0;
};

// "解码 %llu帧 丢 %llu包 坏 %llu帧 帧率 %d Fps 设备 %d Fps 接收数据 %lu KB 码率 %d KBps \n":
// pictures shown, RTP packets lost, frames undecodable or not shown; frames
// and KB received in the last second, the device's frame rate by its RTP
// timestamps; KB received in all.
std::string StatisticsLine(const StreamFigures& f);

struct ProgressShown {
    std::optional<std::string> text;
    std::optional<int> pos;
    std::optional<int> max; // the bar's range, 0 .. max (a cancel row may have closed it)
};

// A playback or download (recording) of a recording with a length shows the
// stream's own time (streamSeconds) against that length, the bar at the same
// position, up to the end; any other stream shows its elapsed time against
// "12:00:00".
// With the answer's a=filesize (fileSize > 0) the position is the share of
// the file's bytes received instead: of the length when there is one, else
// "<KB>/<KB> KB" with the bar in per cent.
ProgressShown ProgressFor(const StreamFigures& f, bool recording, std::int32_t duration,
                          std::int64_t fileSize = 0);

// End minus start of a record's time texts ("%4d-%2d-%2dT%2d:%2d:%2d", local
// time without daylight saving); a text that does not read counts as 0.
std::int32_t RecordingDuration(const std::string& startText, const std::string& endText);

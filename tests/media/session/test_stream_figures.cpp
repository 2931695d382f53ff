// The figures of a stream over a sliding second, with a clock stepped by hand:
// the received and the device's frame rate, the bit rate, their fall to 0 in a
// stall or pause, and the lost RTP packets of the receiver's sequence count
// through a real receiver on the loopback.
#include "SessionTestUtil.h"
#include "media/MediaTestUtil.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

using namespace std::chrono_literals;
using Clock = StreamCounters::Clock;

const Clock::time_point kT0 = Clock::time_point(std::chrono::hours(1000));

// frames at wallMs apart with RTP timestamps tsStep apart, from `from` on.
void Feed(StreamCounters& c, Clock::time_point from, int frames, double wallMs, uint32_t tsStep,
          uint32_t& ts, int32_t bytes = 20000) {
    for (int i = 0; i < frames; ++i) {
        FrameSample s;
        s.length = bytes;
        s.haveTimestamp = true;
        s.rtpTimestamp = ts;
        ts += tsStep;
        c.Count(s, from + std::chrono::microseconds(static_cast<int64_t>(i * wallMs * 1000)));
    }
}

TEST(StreamFigures, RatesOverTheLastSecond) {
    struct Case {
        const char* name;
        double wallMs;   // between frames as they arrive
        int seconds;     // of stream
        double readAfter; // seconds after the last frame
        int fps, fpsTolerance, deviceFps, kbps;
    };
    // 20000-byte frames: 25 a second are 488 KB/s.
    for (const Case c : {Case{"25 fps after 2 s", 40, 2, 0.0, 25, 1, 25, 488},
                         Case{"25 fps, read 0.5 s after the last frame", 40, 2, 0.5, 12, 1, 25, 234},
                         Case{"stalled: 0 a second after", 40, 2, 1.01, 0, 0, 0, 0},
                         Case{"stalled 10 s", 40, 2, 10, 0, 0, 0, 0},
                         Case{"scale 2: twice the pictures, the device's own rate", 20, 3, 0, 50, 2,
                              25, 976},
                         Case{"scale 0.5", 80, 4, 0, 12, 1, 25, 234}}) {
        SCOPED_TRACE(c.name);
        StreamCounters counters;
        uint32_t ts = 0xFFFF0000; // wraps within the stream
        const int frames = static_cast<int>(c.seconds * 1000 / c.wallMs);
        Feed(counters, kT0, frames, c.wallMs, 3600, ts);
        const auto last = kT0 + std::chrono::microseconds(static_cast<int64_t>((frames - 1) * c.wallMs * 1000));
        const StreamFigures f = counters.Read(
            3, last + std::chrono::microseconds(static_cast<int64_t>(c.readAfter * 1e6)));
        EXPECT_LE(std::abs(f.fps - c.fps), c.fpsTolerance) << f.fps;
        EXPECT_EQ(f.deviceFps, c.deviceFps);
        EXPECT_LE(std::abs(f.kbytesPerSecond - c.kbps), 20) << f.kbytesPerSecond;
        EXPECT_EQ(f.frames, static_cast<uint32_t>(frames));
        EXPECT_EQ(f.bytes, static_cast<uint64_t>(frames) * 20000);
    }
}

// After a pause the first frames count as what they are, not as an average
// over the pause (which read 14 for a 25 fps stream); packs without video
// (audio) are no frames of the rate.
TEST(StreamFigures, APauseAndPacksWithoutVideo) {
    StreamCounters counters;
    uint32_t ts = 0;
    Feed(counters, kT0, 50, 40, 3600, ts);
    const auto resumed = kT0 + 2s + 5s;
    ts += 5 * 90000;
    Feed(counters, resumed, 3, 40, 3600, ts);
    for (int i = 0; i < 10; ++i) {
        FrameSample audio;
        audio.length = 0;
        counters.Count(audio, resumed + 90ms);
    }
    const StreamFigures f = counters.Read(7, resumed + 100ms);
    EXPECT_EQ(f.fps, 3);
    EXPECT_EQ(f.deviceFps, 25);
    EXPECT_EQ(f.empty, 10u);
    // A jump of the timestamps (a seek) leaves the device's rate alone.
    ts += 3600 * 1000;
    Feed(counters, resumed + 120ms, 1, 40, 3600, ts);
    EXPECT_EQ(counters.Read(7, resumed + 130ms).deviceFps, 25);
    counters.Reset();
    EXPECT_EQ(counters.Read(0, resumed + 130ms).fps, 0);
}

// Through the session and a real receiver: 9 RTP packets never sent read
// "丢 9包", and a stalled stream reads 0 Fps in the window without a frame to
// carry the figures (the receiver's idle callback).
TEST(StreamFigures, LostPacketsAndAStallThroughTheSession) {
    st::StepClock clock;
    st::RecordingSignal signal;
    st::RecordingView view;
    CVidana decoder;
    struct NoView : IVidanaSurface {
        VidanaSize ClientSize() const override { return {64, 48}; }
        void Present(const uint8_t*, int32_t, int32_t) override {}
    } surface;
    const uint16_t port = mt::FreePortBase();
    ASSERT_NE(port, 0);
    CMediaSession::Options o;
    o.clock = clock.Clock();
    o.localIp = INADDR_LOOPBACK;
    CMediaSession s(decoder, &surface, signal, &view, o);
    const MediaCommand offer = s.BuildMediaCommand(0, 0, st::LoopbackInputs(0, port));
    s.OfferSent(offer.offer, 1);
    ASSERT_TRUE(s.OnCallAnswered(1, 1, st::VideoAnswer(), st::LoopbackInputs(0, port)).started);

    const int sock = mt::UdpSocket(0);
    ASSERT_GE(sock, 0);
    // One video PES a frame, one packet a frame; every fifth frame after the
    // first ten skips one sequence number: 9 in all.
    std::vector<uint8_t> pes = {0, 0, 1, 0xE0, 0, 3 + 100, 0x80, 0, 0};
    pes.resize(9 + 100, 0x55);
    uint16_t seq = 100;
    int skipped = 0;
    for (int i = 0; i < 60; ++i) {
        if (i >= 10 && i % 5 == 0 && skipped < 9) {
            ++seq;
            ++skipped;
        }
        mt::RtpSpec r;
        r.seq = seq++;
        r.ts = static_cast<uint32_t>(i) * 3600;
        mt::SendUdp(sock, port, mt::MakeRtp(r, pes));
        clock.Advance(40ms);
        if (i % 10 == 9) {
            // Batches, each waited for: nothing lost to a busy machine.
            ASSERT_TRUE(st::WaitUntil([&] { return s.Figures().frames >= static_cast<uint32_t>(i); }));
        }
    }
    ASSERT_TRUE(st::WaitUntil([&] { return s.Figures().lostPackets == 9; }))
        << s.Figures().lostPackets;
    EXPECT_EQ(s.Receiver().skippedPackets, 9u);
    // The stream stalls: within two seconds the view reads 0 Fps, with the lost
    // packets still counted.
    clock.Advance(1500ms);
    ASSERT_TRUE(st::WaitUntil([&] {
        const std::string line = view.Last().statistics.value_or("");
        return line.find(" 帧率 0 Fps 设备 0 Fps ") != std::string::npos;
    })) << view.Last().statistics.value_or("");
    EXPECT_NE(view.Last().statistics->find(" 丢 9包 "), std::string::npos)
        << *view.Last().statistics;
    EXPECT_EQ(s.Figures().fps, 0);
    s.Stop();
    ::close(sock);
}

} // namespace

namespace {

// The stream's own time from its RTP timestamps, whatever the frames' arrival:
// sent fast, slow, across the 32-bit wrap; steps back and jumps of more than
// 2 s are left out; a frame without a timestamp adds nothing.
TEST(StreamFigures, StreamTimeFromTheRtpTimestamps) {
    struct Case {
        const char* name;
        std::vector<std::pair<uint32_t, bool>> stamps; // timestamp, known
        std::int64_t seconds;
    } cases[] = {
        {"one frame", {{1000, true}}, 0},
        {"40 s of 25 fps", {}, 39},
        {"across the wrap", {{0xFFFF0000u, true}, {0xFFFF0000u + 90000 * 2, true}, {0xFFFF0000u + 90000 * 3, true}}, 3},
        {"a step back is left out", {{900000, true}, {990000, true}, {90000, true}, {180000, true}}, 2},
        {"a jump of 3 s is left out", {{0, true}, {90000, true}, {360000, true}, {450000, true}}, 2},
        {"frames without timestamps", {{0, true}, {0, false}, {90000, true}}, 1},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.stamps.empty())
            for (uint32_t i = 0; i < 1000; ++i) c.stamps.push_back({123456u + i * 3600, true});
        StreamCounters counters;
        auto at = kT0;
        for (const auto& [ts, known] : c.stamps) {
            FrameSample s;
            s.length = 100;
            s.haveTimestamp = known;
            s.rtpTimestamp = ts;
            counters.Count(s, at);
            at += 1ms; // far faster than the stream's own time
        }
        EXPECT_EQ(counters.Read(0, at).streamSeconds, c.seconds);
    }
    StreamCounters counters;
    uint32_t ts = 0;
    Feed(counters, kT0, 100, 40, 3600, ts);
    counters.Reset();
    EXPECT_EQ(counters.Read(0).streamSeconds, 0);
}

} // namespace

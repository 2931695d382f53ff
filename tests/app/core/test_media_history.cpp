// The recent figures behind the window's media plots.

#include "app/core/MediaHistory.h"

#include <gtest/gtest.h>

namespace {
StreamFigures Fig(std::int64_t elapsed, std::uint32_t frames, int fps, int kBps, std::uint64_t lost) {
    StreamFigures f;
    f.elapsed = elapsed;
    f.frames = frames;
    f.fps = fps;
    f.kbytesPerSecond = kBps;
    f.lostPackets = lost;
    return f;
}
} // namespace

TEST(MediaHistory, OneSampleASecondWithItsLossAndANewStreamStartsAnew) {
    using ms = std::chrono::milliseconds;
    const auto t0 = MediaHistory::Clock::time_point{} + std::chrono::hours(1);
    MediaHistory h;
    // Four updates a second, as the session sends them: the last of each second counts.
    const struct {
        int at;
        StreamFigures f;
    } updates[] = {
        {0, Fig(0, 5, 20, 100, 0)},     {250, Fig(0, 10, 24, 110, 2)},  {1000, Fig(1, 30, 25, 125, 3)},
        {1250, Fig(1, 35, 25, 125, 3)}, {1750, Fig(1, 45, 25, 130, 7)}, {2000, Fig(2, 55, 25, 125, 7)},
    };
    for (const auto& u : updates) h.Add(u.f, t0 + ms(u.at));
    const auto& s = h.Samples();
    ASSERT_EQ(s.size(), 3u);
    const struct {
        double seconds;
        int fps, kbit;
        std::uint64_t lost, total;
    } want[] = {{0, 24, 901, 2, 2}, {1, 25, 1064, 5, 7}, {2, 25, 1024, 0, 7}};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_DOUBLE_EQ(s[i].seconds, want[i].seconds) << i;
        EXPECT_EQ(s[i].fps, want[i].fps) << i;
        EXPECT_EQ(s[i].kbitPerSecond, want[i].kbit) << i; // KB of 1024 bytes, in kbit of 1000
        EXPECT_EQ(s[i].lost, want[i].lost) << i;
        EXPECT_EQ(s[i].lostTotal, want[i].total) << i;
    }
    // The receiver counts from zero again: a new history from that moment.
    h.Add(Fig(0, 3, 10, 50, 0), t0 + ms(9000));
    ASSERT_EQ(h.Samples().size(), 1u);
    EXPECT_DOUBLE_EQ(h.Samples()[0].seconds, 0);
    EXPECT_EQ(h.Samples()[0].fps, 10);
}

TEST(MediaHistory, KeepsTheLastFiveMinutes) {
    const auto t0 = MediaHistory::Clock::time_point{} + std::chrono::hours(1);
    MediaHistory h;
    for (int i = 0; i < 400; ++i)
        h.Add(Fig(i, static_cast<std::uint32_t>(i * 25), 25, 100, static_cast<std::uint64_t>(i)),
              t0 + std::chrono::seconds(i));
    ASSERT_EQ(h.Samples().size(), MediaHistory::kSamples);
    EXPECT_DOUBLE_EQ(h.Samples().front().seconds, 100);
    EXPECT_DOUBLE_EQ(h.Samples().back().seconds, 399);
    EXPECT_EQ(h.Samples().back().lost, 1u);
}

// The jitter of each second is the latest the receiver gave; what the stream
// is (codec, size, SSRC) is the latest update's, and a new stream forgets it.
TEST(MediaHistory, JitterPerSecondAndTheStreamsLatestFigures) {
    using ms = std::chrono::milliseconds;
    const auto t0 = MediaHistory::Clock::time_point{} + std::chrono::hours(1);
    MediaHistory h;
    auto f = Fig(0, 5, 25, 100, 0);
    h.Add(f, t0); // no jitter known yet
    f.haveJitter = true;
    f.jitterMs = 3.5;
    f.haveSsrc = true;
    f.ssrc = 0x0BEBC201;
    f.streamType = 0x24;
    f.width = 1280;
    f.height = 720;
    h.Add(f, t0 + ms(500));
    f.jitterMs = 7.25;
    f.elapsed = 1;
    f.frames = 30;
    h.Add(f, t0 + ms(1000));
    ASSERT_EQ(h.Samples().size(), 2u);
    EXPECT_DOUBLE_EQ(h.Samples()[0].jitterMs, 3.5);
    EXPECT_DOUBLE_EQ(h.Samples()[1].jitterMs, 7.25);
    EXPECT_EQ(h.Latest().ssrc, 0x0BEBC201u);
    EXPECT_EQ(h.Latest().width, 1280);
    EXPECT_EQ(CodecName(h.Latest().streamType), "H.265");
    h.Add(Fig(0, 1, 10, 50, 0), t0 + ms(9000)); // the receiver starts again
    EXPECT_FALSE(h.Latest().haveSsrc);
    EXPECT_DOUBLE_EQ(h.Samples().back().jitterMs, 0);
}

TEST(MediaHistory, CodecNames) {
    const struct {
        std::uint8_t type;
        const char* name;
    } rows[] = {{0, ""}, {0x1B, "H.264"}, {0x24, "H.265"}, {0x10, "类型 0x10"}};
    for (const auto& r : rows) EXPECT_EQ(CodecName(r.type), r.name) << int(r.type);
}

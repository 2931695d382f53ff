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

// Two open calls' figures kept apart; an ended one is marked, kept a while,
// then dropped; the same slot's next call starts its own history.
TEST(MediaCalls, TwoCallsKeptApartAndAnEndedOneDropped) {
    using std::chrono::seconds;
    const auto t0 = MediaCalls::Clock::time_point{} + std::chrono::hours(1);
    auto call = [](int slot, int cid, const char* channel, bool drawn, int fps, std::uint64_t lost,
                   std::int64_t elapsed) {
        CallFigures c;
        c.slot = slot;
        c.callId = cid;
        c.channel = channel;
        c.drawn = drawn;
        c.figures = Fig(elapsed, static_cast<std::uint32_t>(fps * (elapsed + 1)), fps, 100, lost);
        return c;
    };
    MediaCalls m;
    const struct {
        int at; // seconds after t0
        std::vector<CallFigures> open;
        std::size_t kept;
    } steps[] = {
        {0, {call(0, 10, "34020000001310000001", true, 25, 0, 0)}, 1},
        {1, {call(0, 10, "34020000001310000001", true, 25, 1, 1), call(2, 20, "34020000001310000002", false, 12, 5, 0)}, 2},
        {2, {call(0, 10, "34020000001310000001", true, 24, 3, 2), call(2, 20, "34020000001310000002", false, 13, 9, 1)}, 2},
        {3, {call(0, 10, "34020000001310000001", true, 25, 3, 3)}, 2}, // the download ends
        {3 + 179, {call(0, 10, "34020000001310000001", true, 25, 3, 182)}, 2},
        {3 + 180, {call(0, 10, "34020000001310000001", true, 25, 3, 183)}, 1}, // and goes
    };
    for (const auto& s : steps) {
        m.Update(s.open, t0 + seconds(s.at));
        EXPECT_EQ(m.Calls().size(), s.kept) << s.at;
        if (s.at == 3) {
            const MediaCalls::Call* live = m.Find(0, 10);
            const MediaCalls::Call* down = m.Find(2, 20);
            ASSERT_TRUE(live && down);
            EXPECT_EQ(live->label, "实时 34020000001310000001");
            EXPECT_EQ(down->label, "下载 34020000001310000002");
            EXPECT_TRUE(live->drawn);
            EXPECT_FALSE(down->drawn);
            EXPECT_FALSE(live->ended);
            EXPECT_TRUE(down->ended);
            // Each its own samples: the download's two seconds, the live view's four.
            ASSERT_EQ(down->history.Samples().size(), 2u);
            EXPECT_EQ(down->history.Samples()[1].fps, 13);
            EXPECT_EQ(down->history.Samples()[1].lost, 4u);
            ASSERT_EQ(live->history.Samples().size(), 4u);
            EXPECT_EQ(live->history.Samples()[2].fps, 24);
            EXPECT_EQ(live->history.Samples()[2].lost, 2u);
        }
    }
    EXPECT_EQ(m.Find(2, 20), nullptr);
    // A new download in the same slot: its own history from its first figures.
    m.Update({call(2, 21, "34020000001310000003", false, 10, 0, 0)}, t0 + seconds(200));
    ASSERT_NE(m.Find(2, 21), nullptr);
    EXPECT_EQ(m.Find(2, 21)->history.Samples().size(), 1u);
    EXPECT_TRUE(m.Find(0, 10)->ended);
    EXPECT_EQ(CallLabel(1, "34020000001310000004"), "回放 34020000001310000004");
    EXPECT_EQ(CallLabel(3, ""), "手动");
}

// However many calls come and go, at most kMaxCalls are kept, ended ones first out.
TEST(MediaCalls, BoundedByDroppingTheLongestEnded) {
    const auto t0 = MediaCalls::Clock::time_point{} + std::chrono::hours(1);
    MediaCalls m;
    for (int i = 0; i < 40; ++i) {
        CallFigures live;
        live.slot = 0;
        live.callId = 1; // open throughout
        live.figures = Fig(i, static_cast<std::uint32_t>(i), 25, 100, 0);
        CallFigures d;
        d.slot = 2;
        d.callId = 100 + i; // a new download each second
        m.Update({live, d}, t0 + std::chrono::seconds(i));
    }
    ASSERT_EQ(m.Calls().size(), MediaCalls::kMaxCalls);
    EXPECT_NE(m.Find(0, 1), nullptr);
    EXPECT_NE(m.Find(2, 139), nullptr);
    EXPECT_EQ(m.Find(2, 100), nullptr);
    EXPECT_FALSE(m.Find(0, 1)->ended);
    EXPECT_EQ(m.Find(0, 1)->history.Samples().size(), 40u);
}

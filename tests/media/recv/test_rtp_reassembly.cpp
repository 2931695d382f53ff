// CHbRtpDemux: joining the packets of one timestamp into a frame.

#include "media/MediaTestUtil.h"
#include "media/recv/CHbPSDemux.h"
#include "media/recv/CHbRtpDemux.h"
#include "media/rtp/RtpPacket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace {

using Bytes = std::vector<uint8_t>;

struct Feeder {
    CHbRtpDemux demux;
    std::vector<Bytes> frames;
    void Feed(const mt::RtpSpec& s, const Bytes& payload) {
        Bytes pkt = mt::MakeRtp(s, payload);
        auto parsed = tvrtp::Packet::Parse(pkt.data(), pkt.size());
        uint8_t* f = nullptr;
        int32_t n = -1;
        bool done = parsed ? demux.InputRtp(*parsed, &f, &n)
                           : demux.InputRtp(pkt.data(), pkt.size(), &f, &n);
        EXPECT_NE(f, nullptr);
        if (done) frames.emplace_back(f, f + n);
    }
    void Feed(uint16_t seq, uint32_t ts, const Bytes& payload) {
        mt::RtpSpec s;
        s.seq = seq;
        s.ts = ts;
        Feed(s, payload);
    }
};

TEST(RtpReassembly, FrameIsDeliveredWhenTheNextTimestampStarts) {
    Feeder f;
    f.Feed(1, 1000, {'a'});
    f.Feed(3, 1000, {'c'});
    f.Feed(2, 1000, {'b'});
    EXPECT_TRUE(f.frames.empty());
    f.Feed(4, 2000, {'d'});
    ASSERT_EQ(f.frames.size(), 1u);
    EXPECT_EQ(f.frames[0], (Bytes{'a', 'b', 'c'}));
    EXPECT_EQ(f.demux.PendingPackets(), 1u); // 'd' opens the next frame
}

TEST(RtpReassembly, SequenceWrapOrdersByDistance) {
    Feeder f;
    f.Feed(0, 5, {'0'});
    f.Feed(65535, 5, {'Z'});
    f.Feed(1, 5, {'1'});
    f.Feed(65534, 5, {'Y'});
    f.Feed(2, 6, {});
    ASSERT_EQ(f.frames.size(), 1u);
    EXPECT_EQ(f.frames[0], (Bytes{'Y', 'Z', '0', '1'}));
}

TEST(RtpReassembly, RepeatedSequenceNumberIsKeptOnce) {
    Feeder f;
    f.Feed(10, 7, {'x'});
    f.Feed(11, 7, {'y'});
    f.Feed(10, 7, {'x'});
    f.Feed(11, 7, {'y'});
    f.Feed(12, 8, {'z'});
    ASSERT_EQ(f.frames.size(), 1u);
    EXPECT_EQ(f.frames[0], (Bytes{'x', 'y'}));
}

TEST(RtpReassembly, FirstPacketCompletesOnlyAnEmptyFrameAndOtherPayloadTypesAreDropped) {
    Feeder f;
    f.Feed(1, 100, {'a'}); // last timestamp 0: an empty frame, not reported
    EXPECT_TRUE(f.frames.empty());
    mt::RtpSpec other;
    other.seq = 2;
    other.ts = 200;
    other.pt = 8;
    f.Feed(other, {'!'}); // neither kept nor closing the frame
    f.Feed(3, 100, {'b'});
    f.Feed(4, 300, {'c'});
    ASSERT_EQ(f.frames.size(), 1u);
    EXPECT_EQ(f.frames[0], (Bytes{'a', 'b'}));
}

TEST(RtpReassembly, HeaderLengthCountsCsrcExtensionAndPadding) {
    Feeder f;
    mt::RtpSpec s;
    s.ts = 9;
    s.seq = 1;
    s.csrc = 3;
    f.Feed(s, {'a'});
    s = {};
    s.ts = 9;
    s.seq = 2;
    s.extWords = 2;
    f.Feed(s, {'b'});
    s = {};
    s.ts = 9;
    s.seq = 3;
    s.padding = 5;
    s.csrc = 1;
    s.extWords = 0;
    f.Feed(s, {'c', 'd'});
    f.Feed(4, 10, {});
    ASSERT_EQ(f.frames.size(), 1u);
    EXPECT_EQ(f.frames[0], (Bytes{'a', 'b', 'c', 'd'}));
}

TEST(RtpReassembly, MalformedHeadersContributeNothingAndReadNothingOutside) {
    Feeder f;
    f.Feed(1, 50, {'o', 'k'});
    // CSRC count past the end, extension length past the end, padding count
    // larger than the packet: fed as raw bytes, each adds no payload.
    Bytes csrc = {0x8F, 96, 0, 2, 0, 0, 0, 50, 1, 2, 3, 4, 9, 9};
    Bytes ext = {0x90, 96, 0, 3, 0, 0, 0, 50, 1, 2, 3, 4, 0xBE, 0xDE, 0x7F, 0xFF, 9};
    Bytes extCut = {0x90, 96, 0, 4, 0, 0, 0, 50, 1, 2, 3, 4, 0xBE};
    Bytes pad = {0xA0, 96, 0, 5, 0, 0, 0, 50, 1, 2, 3, 4, 7, 0xFF};
    for (auto* b : {&csrc, &ext, &extCut, &pad}) {
        uint8_t* fr;
        int32_t n;
        EXPECT_FALSE(f.demux.InputRtp(b->data(), b->size(), &fr, &n));
    }
    f.Feed(6, 51, {});
    ASSERT_EQ(f.frames.size(), 1u);
    EXPECT_EQ(f.frames[0], (Bytes{'o', 'k'}));
}

TEST(RtpReassembly, LargePacketsAreKeptWholeAndLargeFramesGrowTheBuffer) {
    Feeder f;
    std::mt19937 rng(7);
    Bytes expected;
    uint16_t seq = 100;
    // 20 packets of 60000 bytes: 1.2 MB, more than the 512 KiB of the start.
    for (int k = 0; k < 20; ++k) {
        Bytes p(60000);
        for (auto& b : p)
            b = static_cast<uint8_t>(rng());
        expected.insert(expected.end(), p.begin(), p.end());
        f.Feed(seq++, 1, p);
    }
    f.Feed(seq++, 2, {});
    ASSERT_EQ(f.frames.size(), 1u);
    EXPECT_TRUE(f.frames[0] == expected);
    EXPECT_GE(f.demux.FrameCapacity(), expected.size());
}

TEST(RtpReassembly, FramesBeyondSixteenMebibytesAreCutAtTheLimit) {
    Feeder f;
    Bytes p(65000, 0x5A);
    uint16_t seq = 0;
    for (int k = 0; k < 300; ++k)
        f.Feed(seq++, 1, p); // 19.5 MB
    f.Feed(seq++, 2, {});
    ASSERT_EQ(f.frames.size(), 1u);
    const std::size_t fit = CHbRtpDemux::kMaxFrameSize / p.size() * p.size();
    EXPECT_EQ(f.frames[0].size(), fit);
    EXPECT_LE(f.demux.FrameCapacity(), CHbRtpDemux::kMaxFrameSize);
}

TEST(RtpReassembly, ClearDropsThePendingPackets) {
    Feeder f;
    f.Feed(1, 1, {'a'});
    f.Feed(2, 1, {'b'});
    f.demux.Clear();
    EXPECT_EQ(f.demux.PendingPackets(), 0u);
    f.Feed(3, 1, {'c'});
    f.Feed(4, 2, {});
    ASSERT_EQ(f.frames.size(), 1u);
    EXPECT_EQ(f.frames[0], (Bytes{'c'}));
}

// The ffmpeg-made program stream, one timestamp per pack, shuffled and
// duplicated within each pack and started just below the sequence wrap:
// reassembly plus demultiplexing gives ffmpeg's extraction minus the last pack.
TEST(RtpReassembly, FfmpegStreamThroughReassemblyAndDemux) {
    std::string dir = mt::TempDir("reasm");
    std::string es = mt::MakeH264(dir, "in.h264", "320x240", 2);
    ASSERT_FALSE(es.empty());
    std::string ps = mt::MakePS(es, dir + "/in.vob");
    ASSERT_FALSE(ps.empty());
    Bytes stream = mt::ReadFile(ps);
    Bytes expected = mt::ExtractES(ps, dir + "/ref.h264");
    auto starts = mt::PackStarts(stream);
    starts.push_back(stream.size());
    ASSERT_GT(starts.size(), 5u);

    CHbRtpDemux demux;
    CHbPSDemux ps2es;
    Bytes got, lastPackVideo;
    std::mt19937 rng(3);
    uint16_t seq = 65500;
    for (std::size_t k = 0; k + 1 < starts.size(); ++k) {
        std::vector<Bytes> pkts;
        for (std::size_t o = starts[k]; o < starts[k + 1]; o += 300) {
            std::size_t e = std::min(o + 300, starts[k + 1]);
            mt::RtpSpec s;
            s.seq = seq++;
            s.ts = static_cast<uint32_t>(90000 + 3600 * k);
            pkts.push_back(mt::MakeRtp(s, Bytes(stream.begin() + o, stream.begin() + e)));
        }
        pkts.push_back(pkts[rng() % pkts.size()]);
        std::shuffle(pkts.begin(), pkts.end(), rng);
        for (auto& p : pkts) {
            uint8_t* f;
            int32_t n;
            if (demux.InputRtp(p.data(), p.size(), &f, &n)) {
                Bytes out(static_cast<std::size_t>(n));
                int32_t m = ps2es.Demux(f, n, out.data());
                got.insert(got.end(), out.begin(), out.begin() + m);
            }
        }
        if (k + 2 == starts.size()) {
            Bytes out(starts[k + 1] - starts[k]);
            int32_t m = ps2es.Demux(stream.data() + starts[k], static_cast<int32_t>(out.size()),
                                    out.data());
            lastPackVideo.assign(out.begin(), out.begin() + m);
        }
    }
    ASSERT_EQ(got.size() + lastPackVideo.size(), expected.size());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), expected.begin()));
}

} // namespace

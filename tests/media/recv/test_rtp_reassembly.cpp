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

namespace {

// Frames of three packets each ('A'..): the order packets arrive in, as
// sequence numbers from 0, and what comes out.
struct ReorderCase {
    const char* name;
    std::vector<uint16_t> order;
    std::vector<Bytes> frames; // delivered, in order
};

Bytes PayloadOf(uint16_t seq) {
    return {static_cast<uint8_t>('A' + seq / 3), static_cast<uint8_t>('0' + seq % 3)};
}

TEST(RtpReassembly, LateAndSwappedPacketsWithinTheBoundCostNothing) {
    const Bytes a = {'A', '0', 'A', '1', 'A', '2'}, b = {'B', '0', 'B', '1', 'B', '2'},
                c = {'C', '0', 'C', '1', 'C', '2'};
    const ReorderCase cases[] = {
        {"in order", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, {a, b, c}},
        // The last packet of A comes after B's first: A is whole.
        {"late by one", {0, 1, 3, 2, 4, 5, 6, 7, 8, 9}, {a, b, c}},
        // B's first packet comes after all of C's.
        {"late by a frame", {0, 1, 2, 4, 5, 6, 7, 8, 3, 9}, {a, b, c}},
        {"swapped frames", {3, 4, 5, 0, 1, 2, 6, 7, 8, 9}, {a, b, c}},
        {"pairs swapped", {1, 0, 2, 4, 3, 5, 7, 6, 9, 8}, {a, b, c}},
        {"reversed after the first frame", {0, 1, 2, 9, 8, 7, 6, 5, 4, 3}, {a, b, c}},
    };
    for (const ReorderCase& rc : cases) {
        SCOPED_TRACE(rc.name);
        Feeder f;
        for (uint16_t k : rc.order) {
            f.Feed(static_cast<uint16_t>(60000 + k), 3600u * (k / 3), PayloadOf(k));
            uint8_t* fr;
            int32_t n;
            while (f.demux.NextFrame(&fr, &n))
                f.frames.emplace_back(fr, fr + n);
        }
        EXPECT_EQ(f.frames, rc.frames);
        EXPECT_EQ(f.demux.TooLate(), 0u);
    }
}

// A packet that never comes holds its frame up to the bound only: 64 packets
// beyond it, or a packet 100 ms newer; the frame then goes out without it, and
// the packet, should it come after all, is dropped.
TEST(RtpReassembly, AMissingPacketIsGivenUpAtTheBound) {
    struct Case {
        const char* name;
        uint32_t tsStep;      // between frames of one packet each
        std::size_t released; // frames after the hole when the frame goes out
    };
    for (const Case c : {Case{"64 packets", 100, CHbRtpDemux::kReorderPackets + 1},
                         Case{"100 ms", 3600, 3}}) {
        SCOPED_TRACE(c.name);
        Feeder f;
        f.Feed(10, 0, {'a'});
        f.Feed(12, 0, {'c'}); // 11 never comes
        std::size_t after = 0;
        for (uint16_t seq = 13; f.frames.empty() && seq < 400; ++seq, ++after)
            f.Feed(seq, c.tsStep * (seq - 12), {'x'});
        EXPECT_EQ(after, c.released);
        ASSERT_FALSE(f.frames.empty());
        EXPECT_EQ(f.frames[0], (Bytes{'a', 'c'}));
        f.Feed(11, 0, {'b'});
        EXPECT_EQ(f.demux.TooLate(), 1u);
        // The frames behind it follow at once, whole.
        uint8_t* fr;
        int32_t n;
        std::size_t more = 0;
        while (f.demux.NextFrame(&fr, &n)) {
            EXPECT_EQ(Bytes(fr, fr + n), Bytes{'x'});
            ++more;
        }
        EXPECT_GE(more + 1, after - 1);
        // Finish hands out what is left, the last frame included.
        std::size_t finished = 0;
        while (f.demux.PendingPackets() > 0)
            finished += f.demux.Finish() ? 1 : 0;
        EXPECT_EQ(1 + more + finished, after);
    }
}

} // namespace

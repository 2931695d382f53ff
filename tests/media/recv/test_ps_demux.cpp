// CHbPSDemux: the program-stream walk, on hand-made structures and against
// ffmpeg's own demuxer on streams ffmpeg muxed.

#include "media/MediaTestUtil.h"
#include "media/recv/CHbPSDemux.h"

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Pes(uint8_t id, const Bytes& payload, int headerData = 5) {
    Bytes v = {0, 0, 1, id};
    int len = 3 + headerData + static_cast<int>(payload.size());
    v.push_back(static_cast<uint8_t>(len >> 8));
    v.push_back(static_cast<uint8_t>(len));
    v.push_back(0x80);
    v.push_back(headerData ? 0x80 : 0);
    v.push_back(static_cast<uint8_t>(headerData));
    for (int k = 0; k < headerData; ++k)
        v.push_back(0x21);
    v.insert(v.end(), payload.begin(), payload.end());
    return v;
}

Bytes Pack(int stuffing) {
    Bytes v = {0, 0, 1, 0xBA, 0x44, 0,    4,
               0, 4, 1, 1,    0x89, 0xC3, static_cast<uint8_t>(0xF8 | stuffing)};
    v.insert(v.end(), static_cast<std::size_t>(stuffing), 0xFF);
    return v;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes v;
    for (auto& p : parts)
        v.insert(v.end(), p.begin(), p.end());
    return v;
}

Bytes Walk(const Bytes& in) {
    CHbPSDemux d;
    Bytes out(in.size() + 1);
    int32_t n = d.Demux(in.data(), static_cast<int32_t>(in.size()), out.data());
    EXPECT_GE(n, 0);
    EXPECT_LE(static_cast<std::size_t>(n), in.size());
    out.resize(static_cast<std::size_t>(n));
    return out;
}

const Bytes kA = {0, 0, 0, 1, 0x67, 0x42, 0x11};
const Bytes kB = {0, 0, 0, 1, 0x65, 0x88, 0x84, 0x21};

TEST(PSDemux, PackSystemHeaderMapAndVideoPayloadsInOrder) {
    Bytes sys = {0, 0, 1, 0xBB, 0, 6, 0x80, 1, 0x89, 4, 0xE1, 0xFF};
    Bytes psm = {0, 0, 1, 0xBC, 0, 10, 0xE0, 0xFF, 0, 0, 0, 4, 0x1B, 0xE0, 0, 0};
    Bytes emm = {0, 0, 1, 0xF1, 0, 3, 0, 0, 1};
    Bytes in = Cat({Pack(0), sys, psm, emm, Pes(0xE0, kA), Pes(0xE0, kB, 0), {0, 0, 1, 0xB9}});
    EXPECT_EQ(Walk(in), Cat({kA, kB}));
}

TEST(PSDemux, PackStuffingOfSevenIsSkippedAsTwentyOneBytes) {
    // The stuffing bytes hide a video PES start: only a skip of exactly 21
    // bytes jumps over it; a skip of 14 would copy "XYZ" too.
    Bytes pack = Pack(7);
    Bytes hidden = Pes(0xE0, {'X', 'Y', 'Z'}, 0); // 12 bytes
    Bytes in = pack;
    in.resize(14);
    in.insert(in.end(), hidden.begin(), hidden.begin() + 7);
    in[13] = 0xFF; // low three bits: 7
    Bytes tail = Pes(0xE0, kA);
    in.insert(in.end(), tail.begin(), tail.end());
    ASSERT_EQ(in.size(), 21 + tail.size());
    EXPECT_EQ(Walk(in), kA);
}

TEST(PSDemux, AudioPesBetweenVideoIsSkippedWhole) {
    Bytes audio = Pes(0xC0, Cat({Pes(0xE0, {'A', 'U', 'D'}, 0), {1, 2, 3}}));
    Bytes in = Cat({Pack(0), Pes(0xE0, kA), audio, Pes(0xE1, kB)});
    EXPECT_EQ(Walk(in), Cat({kA, kB}));
}

// The device's sound: with collection on, the audio payloads come out in
// order (a video start code inside one is audio), split over pieces as RTP
// brings them, and the map's audio stream type is read whichever entry comes
// first; with it off nothing is kept.
TEST(PSDemux, AudioPayloadsAndTheMapsAudioTypeWhenCollected) {
    const Bytes g1 = Cat({Pes(0xE0, {'A', 'U', 'D'}, 0), {1, 2, 3}}), g2 = {0xD5, 0xD5, 0x55};
    struct Row {
        Bytes map;
        uint8_t video, audio;
    } rows[] = {
        {{0, 0, 1, 0xBC, 0, 14, 0xE0, 0xFF, 0, 0, 0, 8, 0x1B, 0xE0, 0, 0, 0x90, 0xC0, 0, 0}, 0x1B, 0x90},
        {{0, 0, 1, 0xBC, 0, 14, 0xE0, 0xFF, 0, 0, 0, 8, 0x0F, 0xC0, 0, 0, 0x24, 0xE0, 0, 0}, 0x24, 0x0F},
        {{0, 0, 1, 0xBC, 0, 10, 0xE0, 0xFF, 0, 0, 0, 4, 0x1B, 0xE0, 0, 0}, 0x1B, 0},
    };
    for (const Row& r : rows) {
        const Bytes in = Cat({Pack(0), r.map, Pes(0xE0, kA), Pes(0xC0, g1), Pes(0xC1, g2)});
        for (bool collect : {true, false}) {
            CHbPSDemux d;
            d.SetCollectAudio(collect);
            // Cut in three pieces, one seam inside the first audio PES.
            const std::size_t cut1 = 5, cut2 = in.size() - g2.size() - 12;
            const CHbPSDemux::Piece pieces[] = {{in.data(), cut1}, {in.data() + cut1, cut2 - cut1},
                                                {in.data() + cut2, in.size() - cut2}};
            Bytes out(in.size());
            const int32_t n = d.Demux(pieces, out.data());
            out.resize(static_cast<std::size_t>(n));
            EXPECT_EQ(out, kA);
            EXPECT_EQ(d.MapStreamType(), r.video);
            EXPECT_EQ(d.MapAudioStreamType(), r.audio);
            EXPECT_EQ(d.AudioPayload(), collect ? Cat({g1, g2}) : Bytes{});
        }
    }
}

TEST(PSDemux, VideoPesRunningPastTheFrameIsNotCopiedButWalkedInto) {
    Bytes inner = Pes(0xE0, kB, 0);
    Bytes outer = Pes(0xE0, Cat({{9, 9, 9}, inner, Bytes(50, 7)}));
    outer.resize(outer.size() - 20); // the frame ends inside the outer PES
    Bytes in = Cat({Pack(0), Pes(0xE0, kA), outer});
    EXPECT_EQ(Walk(in), Cat({kA, kB}));
}

TEST(PSDemux, PrivateStreamOneIsWalkedIntoByteByByte) {
    Bytes priv = Pes(0xBD, Cat({{5, 5}, Pes(0xE0, kB, 0)}));
    Bytes in = Cat({Pack(0), priv, Pes(0xE0, kA)});
    EXPECT_EQ(Walk(in), Cat({kB, kA}));
}

TEST(PSDemux, GarbageAndTruncatedStructuresAreSkipped) {
    Bytes garbage = {0xFF, 0, 0, 0, 1, 0x42, 0, 0, 1, 0xB0, 0x13, 0, 1};
    Bytes in = Cat({garbage, Pack(0), garbage, Pes(0xE0, kA)});
    EXPECT_EQ(Walk(in), kA);
    // A system header or map whose length runs past the frame skips nothing.
    Bytes cut = {0, 0, 1, 0xBC, 0xFF, 0xFF, 0, 0};
    EXPECT_EQ(Walk(Cat({cut, Pes(0xE0, kB)})), kB);
    // A pack header cut short, then the end of the input.
    Bytes shortPack = Pack(0);
    shortPack.resize(10);
    EXPECT_TRUE(Walk(Cat({Pes(0xE0, kA), shortPack})) == kA);
    EXPECT_TRUE(Walk({}).empty());
    EXPECT_TRUE(Walk({0, 0, 1}).empty());
}

TEST(PSDemux, HeaderDataLongerThanThePacketCopiesNothing) {
    Bytes bad = {0, 0, 1, 0xE0, 0, 5, 0x80, 0x80, 0xF0, 1, 2};
    Bytes in = Cat({bad, Pes(0xE0, kA)});
    EXPECT_EQ(Walk(in), kA);
}

class PSDemuxGolden : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new std::string(mt::TempDir("psdemux"));
        std::string es = mt::MakeH264(*dir_, "in.h264", "640x360", 3, "-bf 2");
        if (es.empty()) return;
        ps_ = new std::string(mt::MakePS(es, *dir_ + "/in.vob"));
    }
    static std::string* dir_;
    static std::string* ps_;
};
std::string* PSDemuxGolden::dir_ = nullptr;
std::string* PSDemuxGolden::ps_ = nullptr;

TEST_F(PSDemuxGolden, PackByPackEqualsWhatFfmpegExtracts) {
    ASSERT_TRUE(ps_ && !ps_->empty()) << "ffmpeg could not make the fixture";
    Bytes ps = mt::ReadFile(*ps_);
    Bytes expected = mt::ExtractES(*ps_, *dir_ + "/ref.h264");
    ASSERT_GT(expected.size(), 10000u);
    auto starts = mt::PackStarts(ps);
    ASSERT_GT(starts.size(), 10u);
    starts.push_back(ps.size());
    Bytes got;
    CHbPSDemux d;
    Bytes out(70000);
    for (std::size_t k = 0; k + 1 < starts.size(); ++k) {
        int32_t len = static_cast<int32_t>(starts[k + 1] - starts[k]);
        out.resize(static_cast<std::size_t>(len));
        int32_t n = d.Demux(ps.data() + starts[k], len, out.data());
        got.insert(got.end(), out.begin(), out.begin() + n);
    }
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
    // The whole stream as one frame gives the same bytes.
    EXPECT_TRUE(Walk(ps) == expected);
}

} // namespace

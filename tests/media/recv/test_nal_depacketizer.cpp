// NalDepacketizer: RTP payloads of H.264 (RFC 6184) and H.265 (RFC 7798) into
// Annex B access units; then ffmpeg's own RTP muxer's packets of a clip,
// joined by CHbRtpDemux, give back the clip's NAL units one for one.

#include "media/MediaTestUtil.h"
#include "media/recv/CHbRtpDemux.h"
#include "media/recv/NalDepacketizer.h"
#include "media/rtp/RtpPacket.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Depacketize(NalCodec codec, const std::vector<Bytes>& payloads, uint64_t* dropped = nullptr) {
    std::vector<NalDepacketizer::Piece> pieces;
    std::size_t total = 0;
    for (const Bytes& p : payloads) {
        pieces.emplace_back(p.data(), p.size());
        total += p.size();
    }
    NalDepacketizer d(codec);
    Bytes out(NalDepacketizer::OutputBound(total, pieces.size()) + 1, 0xEE);
    const int32_t n = d.Depacketize(pieces, out.data());
    EXPECT_LE(static_cast<std::size_t>(n), out.size() - 1);
    EXPECT_EQ(out.back(), 0xEE); // nothing written past the bound
    if (dropped) *dropped = d.Dropped();
    out.resize(static_cast<std::size_t>(n));
    return out;
}

Bytes Annexb(std::initializer_list<Bytes> units) {
    Bytes out;
    for (const Bytes& u : units) {
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), u.begin(), u.end());
    }
    return out;
}

TEST(NalDepacketizer, PacketFormsOfBothCodecs) {
    struct Case {
        const char* what;
        NalCodec codec;
        std::vector<Bytes> payloads;
        Bytes expected;
        uint64_t dropped;
    } cases[] = {
        {"H.264 single NAL units", NalCodec::H264, {{0x67, 1, 2}, {0x65, 9}}, Annexb({{0x67, 1, 2}, {0x65, 9}}), 0},
        {"H.264 STAP-A", NalCodec::H264, {{0x78, 0, 2, 0x67, 7, 0, 1, 0x68}}, Annexb({{0x67, 7}, {0x68}}), 0},
        {"H.264 STAP-A with a size past its end", NalCodec::H264, {{0x78, 0, 1, 0x67, 0, 9, 0x68}}, Annexb({{0x67}}), 1},
        {"H.264 STAP-B skips its DON", NalCodec::H264, {{0x79, 0, 5, 0, 1, 0x68}}, Annexb({{0x68}}), 0},
        {"H.264 FU-A start, middle, end", NalCodec::H264,
         {{0x7C, 0x85, 1, 2}, {0x7C, 0x05, 3}, {0x7C, 0x45, 4}}, Annexb({{0x65, 1, 2, 3, 4}}), 0},
        {"H.264 FU-A without its end is dropped", NalCodec::H264,
         {{0x67, 1}, {0x7C, 0x85, 1, 2}, {0x7C, 0x05, 3}}, Annexb({{0x67, 1}}), 1},
        {"H.264 FU-A without its start is dropped", NalCodec::H264,
         {{0x7C, 0x05, 3}, {0x7C, 0x45, 4}, {0x68, 5}}, Annexb({{0x68, 5}}), 2},
        {"H.264 FU-A cut by another unit", NalCodec::H264,
         {{0x7C, 0x85, 1}, {0x68, 5}, {0x7C, 0x45, 4}}, Annexb({{0x68, 5}}), 2},
        {"H.264 FU-B's first fragment carries a DON", NalCodec::H264,
         {{0x7D, 0x85, 0, 7, 1}, {0x7D, 0x45, 2}}, Annexb({{0x65, 1, 2}}), 0},
        {"H.264 MTAP and type 0 are skipped", NalCodec::H264, {{0x1A, 0, 0}, {0x00, 1}, {0x61, 1}}, Annexb({{0x61, 1}}), 2},
        {"H.265 single NAL units", NalCodec::H265, {{0x40, 1, 0xC}, {0x26, 1, 5}}, Annexb({{0x40, 1, 0xC}, {0x26, 1, 5}}), 0},
        {"H.265 AP", NalCodec::H265, {{0x60, 1, 0, 3, 0x40, 1, 7, 0, 2, 0x42, 1}}, Annexb({{0x40, 1, 7}, {0x42, 1}}), 0},
        // FU of an IDR_W_RADL (19): the header's F bit and layer id kept, the type rebuilt.
        {"H.265 FU start, middle, end", NalCodec::H265,
         {{0x62, 1, 0x93, 1}, {0x62, 1, 0x13, 2}, {0x62, 1, 0x53, 3}}, Annexb({{0x26, 1, 1, 2, 3}}), 0},
        {"H.265 FU without its end is dropped", NalCodec::H265,
         {{0x40, 1, 9}, {0x62, 1, 0x93, 1}}, Annexb({{0x40, 1, 9}}), 1},
        {"H.265 FU of another type cuts the first", NalCodec::H265,
         {{0x62, 1, 0x93, 1}, {0x62, 1, 0x41, 2}}, Annexb({}), 2},
        {"H.265 PACI is skipped", NalCodec::H265, {{0x64, 1, 0, 0}, {0x02, 1, 4}}, Annexb({{0x02, 1, 4}}), 1},
        {"short payloads add nothing", NalCodec::H265, {{0x40}, {}}, Annexb({}), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        uint64_t dropped = 0;
        EXPECT_EQ(Depacketize(c.codec, c.payloads, &dropped), c.expected);
        EXPECT_EQ(dropped, c.dropped);
    }
}

// The worst case of the bound: STAP-A of one-byte units.
TEST(NalDepacketizer, AggregatesOfTinyUnitsStayWithinTheBound) {
    Bytes stap{0x78};
    for (int i = 0; i < 400; ++i) stap.insert(stap.end(), {0, 1, 0x61});
    const Bytes out = Depacketize(NalCodec::H264, {stap, stap});
    EXPECT_EQ(out.size(), 2u * 400 * 5);
}

// The NAL units of an Annex B stream (start codes of 3 or 4 bytes).
std::vector<Bytes> Units(const Bytes& es) {
    std::vector<Bytes> out;
    std::size_t i = 0, start = std::string::npos;
    while (i + 3 <= es.size()) {
        if (es[i] == 0 && es[i + 1] == 0 && es[i + 2] == 1) {
            if (start != std::string::npos) {
                std::size_t end = i;
                while (end > start && es[end - 1] == 0) --end;
                out.emplace_back(es.begin() + static_cast<long>(start), es.begin() + static_cast<long>(end));
            }
            i += 3;
            start = i;
            continue;
        }
        ++i;
    }
    if (start != std::string::npos) out.emplace_back(es.begin() + static_cast<long>(start), es.end());
    return out;
}

TEST(NalDepacketizer, FfmpegsRtpMuxerGivesBackTheClipsUnits) {
    const std::string dir = mt::TempDir("nal");
    struct Case {
        NalCodec codec;
        const char* name;
    } cases[] = {{NalCodec::H264, "clip.h264"}, {NalCodec::H265, "clip.hevc"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string es = c.codec == NalCodec::H264
                                   ? mt::MakeH264(dir, c.name, "320x240", 1.0, "-bf 0")
                                   : mt::MakeHevc(dir, c.name, "320x240", 1.0, "-x265-params bframes=0");
        ASSERT_FALSE(es.empty());
        const uint16_t port = mt::FreePortBase();
        ASSERT_NE(port, 0);
        const int sock = mt::UdpSocket(port);
        ASSERT_GE(sock, 0);
        int big = 4 << 20;
        setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        // Paced (-re): a loopback under load drops no datagram of 25 a second.
        mt::Proc ffmpeg({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-re", "-i", es, "-c", "copy", "-f",
                         "rtp", "-payload_type", "97",
                         "rtp://127.0.0.1:" + std::to_string(port) + "?pkt_size=500"},
                        dir + "/ffmpeg.out", dir + "/ffmpeg.err");
        CHbRtpDemux demux;
        demux.SetPayloadType(97);
        NalDepacketizer nal(c.codec);
        Bytes joined, out;
        std::size_t packets = 0;
        for (;;) {
            Bytes d = mt::RecvUdp(sock, 3000);
            if (d.empty()) break;
            ++packets;
            auto p = tvrtp::Packet::Parse(d.data(), d.size());
            ASSERT_TRUE(p);
            if (!demux.InputRtp(std::move(p))) continue;
            do {
                out.resize(NalDepacketizer::OutputBound(demux.FrameLength(), demux.FramePieces().size()));
                out.resize(static_cast<std::size_t>(nal.Depacketize(demux.FramePieces(), out.data())));
                joined.insert(joined.end(), out.begin(), out.end());
            } while (demux.NextFrame());
        }
        while (demux.PendingPackets() > 0)
            if (demux.Finish()) {
                out.resize(NalDepacketizer::OutputBound(demux.FrameLength(), demux.FramePieces().size()));
                out.resize(static_cast<std::size_t>(nal.Depacketize(demux.FramePieces(), out.data())));
                joined.insert(joined.end(), out.begin(), out.end());
            }
        ::close(sock);
        EXPECT_EQ(ffmpeg.Wait(30), 0);
        EXPECT_GT(packets, 25u);
        EXPECT_EQ(nal.Dropped(), 0u);
        EXPECT_EQ(Units(joined), Units(mt::ReadFile(es)));
    }
}

} // namespace

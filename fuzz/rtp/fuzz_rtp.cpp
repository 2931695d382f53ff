// libFuzzer entry point for the RTP packet path: the input is a TCP media
// stream (16-bit big-endian length, packet, ...). Each packet is parsed as the
// session does, fed to the reassembler (parsed, or raw when the parser
// refuses it) and every completed frame is demultiplexed. The same packets,
// read into small slabs of packet storage, go whole through a second
// reassembler, whose frames are demultiplexed from their pieces.
#include "media/recv/CHbPSDemux.h"
#include "media/recv/CHbRtpDemux.h"
#include "media/rtp/RtpPacket.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CHbRtpDemux rtp, owned;
    CHbPSDemux ps;
    std::vector<uint8_t> out;
    tvrtp::PacketArena arena(4096, 1);
    size_t pos = 0;
    while (pos + 2 <= size) {
        size_t len = static_cast<size_t>(data[pos] << 8 | data[pos + 1]);
        pos += 2;
        if (len > size - pos) len = size - pos;
        std::vector<uint8_t> pkt(data + pos, data + pos + len);
        pos += len;
        if (auto kept = tvrtp::Packet::Parse(arena.Copy(pkt.data(), pkt.size()))) {
            if (kept->GetPacketLength() != pkt.size()) std::abort();
            if (owned.InputRtp(std::move(kept))) {
                out.resize(owned.FrameLength());
                int32_t m = ps.Demux(owned.FramePieces(), out.data());
                if (m < 0 || static_cast<size_t>(m) > owned.FrameLength()) std::abort();
            }
        }
        uint8_t* frame = nullptr;
        int32_t n = 0;
        bool done;
        auto parsed = tvrtp::Packet::Parse(pkt.data(), pkt.size());
        if (parsed) {
            if (parsed->GetPayloadLength() > parsed->GetPacketLength()) std::abort();
            done = rtp.InputRtp(*parsed, &frame, &n);
        } else {
            done = rtp.InputRtp(pkt.data(), pkt.size(), &frame, &n);
        }
        if (!done) continue;
        if (n <= 0 || static_cast<size_t>(n) > CHbRtpDemux::kMaxFrameSize) std::abort();
        out.resize(static_cast<size_t>(n));
        int32_t m = ps.Demux(frame, n, out.data());
        if (m < 0 || m > n) std::abort();
    }
    return 0;
}

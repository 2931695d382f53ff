#include "media/recv/CHbRtpDemux.h"

#include "media/rtp/RtpPacket.h"

#include <algorithm>
#include <cstring>

CHbRtpDemux::CHbRtpDemux() : frame_(kInitialFrameSize, 0) {}

bool CHbRtpDemux::InputRtp(const tvrtp::Packet& packet, uint8_t** frame, int32_t* frameLength) {
    return InputRtp(packet.GetPacketData(), packet.GetPacketLength(), frame, frameLength);
}

bool CHbRtpDemux::InputRtp(const uint8_t* packet, std::size_t length, uint8_t** frame,
                           int32_t* frameLength) {
    if (frame_.empty()) return false;
    if (frame) *frame = frame_.data();
    if (!packet || length < 12) return false;
    if ((packet[1] & 0x7F) != kPayloadType) return false;
    const uint32_t ts = static_cast<uint32_t>(packet[4]) << 24 |
                        static_cast<uint32_t>(packet[5]) << 16 |
                        static_cast<uint32_t>(packet[6]) << 8 | packet[7];
    if (ts == lastTimestamp_) {
        AddPacket(packet, length);
        return false;
    }
    bool done = Complete(frame, frameLength);
    AddPacket(packet, length);
    lastTimestamp_ = ts;
    return done;
}

bool CHbRtpDemux::Complete(uint8_t** frame, int32_t* frameLength) {
    // Order by the distance from the first packet that arrived, as a signed
    // 16-bit number: correct across the wrap from 65535 to 0.
    order_.resize(used_);
    for (std::size_t i = 0; i < used_; ++i)
        order_[i] = static_cast<uint32_t>(i);
    if (used_ > 1) {
        const uint16_t ref = slots_[0].sequenceNumber;
        auto key = [&](uint32_t i) {
            return static_cast<int16_t>(static_cast<uint16_t>(slots_[i].sequenceNumber - ref));
        };
        std::stable_sort(order_.begin(), order_.end(),
                         [&](uint32_t a, uint32_t b) { return key(a) < key(b); });
    }
    std::size_t total = 0;
    bool havePrev = false;
    uint16_t prev = 0;
    for (uint32_t idx : order_) {
        const PacketSlot& s = slots_[idx];
        if (havePrev && s.sequenceNumber == prev) continue; // duplicate: kept once
        havePrev = true;
        prev = s.sequenceNumber;
        if (s.payloadLength < 1) continue;
        const std::size_t n = static_cast<std::size_t>(s.payloadLength);
        if (total + n > kMaxFrameSize) continue; // beyond 16 MiB the frame is cut
        if (total + n > frame_.size())
            frame_.resize(std::min(kMaxFrameSize, std::max(frame_.size() * 2, total + n)));
        std::memcpy(frame_.data() + total, s.data.data() + s.payloadOffset, n);
        total += n;
    }
    used_ = 0; // the slots keep their storage for the next frame
    if (frame) *frame = frame_.data();
    if (frameLength) *frameLength = static_cast<int32_t>(total);
    return total > 0;
}

void CHbRtpDemux::AddPacket(const uint8_t* packet, std::size_t length) {
    if (!packet || length == 0) return;
    length = std::min<std::size_t>(length, 65535);
    int32_t padding = (packet[0] & 0x20) ? packet[length - 1] : 0;
    int64_t header = 12 + 4 * (packet[0] & 0x0F);
    if ((packet[0] & 0x10) && header + 4 <= static_cast<int64_t>(length)) {
        const uint8_t* ext = packet + header;
        header += 4 + 4 * static_cast<int64_t>(ext[2] << 8 | ext[3]);
    } else if (packet[0] & 0x10) {
        header += 4; // the extension header itself does not fit: no payload
    }
    if (used_ == slots_.size()) slots_.emplace_back();
    PacketSlot& s = slots_[used_++];
    s.data.assign(packet, packet + length);
    s.copiedLength = static_cast<int32_t>(length);
    s.payloadOffset = static_cast<int32_t>(std::min<int64_t>(header, length));
    int64_t payload = static_cast<int64_t>(length) - padding - header;
    s.payloadLength = payload < 1 ? 0 : static_cast<int32_t>(payload);
    s.sequenceNumber = length >= 4 ? static_cast<uint16_t>(packet[2] << 8 | packet[3]) : 0;
}

void CHbRtpDemux::Clear() {
    used_ = 0;
    std::vector<PacketSlot>().swap(slots_);
    std::vector<uint32_t>().swap(order_);
}

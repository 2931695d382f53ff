#include "media/rtp/RtpPacket.h"

namespace tvrtp {

namespace {
uint16_t be16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
uint32_t be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}
} // namespace

std::unique_ptr<Packet> Packet::Parse(const uint8_t* data, std::size_t length) {
    if (!data || length < 12 || length > 65535) return nullptr;
    return Parse(std::vector<uint8_t>(data, data + length));
}

std::unique_ptr<Packet> Packet::Parse(std::vector<uint8_t>&& bytes) {
    const uint8_t* data = bytes.data();
    const std::size_t length = bytes.size();
    if (!data || length < 12 || length > 65535) return nullptr;
    if ((data[0] >> 6) != 2) return nullptr;
    const bool padding = data[0] & 0x20;
    const bool extension = data[0] & 0x10;
    const std::size_t csrc = data[0] & 0x0F;
    std::size_t header = 12 + 4 * csrc;
    if (header > length) return nullptr;
    if (extension) {
        if (header + 4 > length) return nullptr;
        header += 4 + 4 * static_cast<std::size_t>(be16(data + header + 2));
        if (header > length) return nullptr;
    }
    std::size_t pad = 0;
    if (padding) {
        pad = data[length - 1];
        if (pad == 0 || header + pad > length) return nullptr;
    }
    // Payload types 72..76 with the marker set read as RTCP 200..204; RFC 3550
    // reserves them so that the two can be told apart.
    const uint8_t pt = data[1] & 0x7F;
    if (pt >= 72 && pt <= 76) return nullptr;

    std::unique_ptr<Packet> p(new Packet);
    p->bytes_ = std::move(bytes);
    p->payloadOffset_ = header;
    p->payloadLength_ = length - header - pad;
    p->payloadType_ = pt;
    p->marker_ = data[1] & 0x80;
    p->sequence_ = be16(data + 2);
    p->timestamp_ = be32(data + 4);
    p->ssrc_ = be32(data + 8);
    p->csrcCount_ = static_cast<uint8_t>(csrc);
    p->extension_ = extension;
    p->extendedSequence_ = p->sequence_;
    return p;
}

} // namespace tvrtp

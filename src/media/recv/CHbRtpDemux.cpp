#include "media/recv/CHbRtpDemux.h"

#include "media/rtp/RtpPacket.h"

#include <algorithm>
#include <cstring>

const uint8_t* PacketSlot::Bytes() const {
    return packet ? packet->GetPacketData() : data.data();
}

CHbRtpDemux::CHbRtpDemux() = default;
CHbRtpDemux::~CHbRtpDemux() = default;

bool CHbRtpDemux::InputRtp(const tvrtp::Packet& packet, uint8_t** frame, int32_t* frameLength) {
    return InputRtp(packet.GetPacketData(), packet.GetPacketLength(), frame, frameLength);
}

bool CHbRtpDemux::Closes(uint32_t timestamp) {
    if (timestamp == lastTimestamp_) return false;
    Complete();
    lastTimestamp_ = timestamp;
    return true;
}

bool CHbRtpDemux::InputRtp(const uint8_t* packet, std::size_t length, uint8_t** frame,
                           int32_t* frameLength) {
    // The joined frame exists only for the byte interfaces.
    if (frame_.empty()) frame_.assign(kInitialFrameSize, 0);
    if (frame) *frame = frame_.data();
    if (!packet || length < 12) return false;
    if ((packet[1] & 0x7F) != kPayloadType) return false;
    const bool closed = Closes(static_cast<uint32_t>(packet[4]) << 24 |
                               static_cast<uint32_t>(packet[5]) << 16 |
                               static_cast<uint32_t>(packet[6]) << 8 | packet[7]);
    AddPacket(packet, length);
    return closed && Join(frame, frameLength);
}

bool CHbRtpDemux::InputRtp(std::unique_ptr<tvrtp::Packet> packet) {
    // The packet was parsed and checked as it was read: its header fields are
    // taken from there, and its bytes are not touched before the demultiplexer
    // copies its payload.
    if (!packet || packet->GetPayloadType() != kPayloadType) return false;
    const bool closed = Closes(packet->GetTimestamp());
    PacketSlot& s = NewSlot();
    s.copiedLength = static_cast<int32_t>(packet->GetPacketLength());
    s.payloadOffset = static_cast<int32_t>(packet->GetPayloadData() - packet->GetPacketData());
    s.payloadLength = static_cast<int32_t>(packet->GetPayloadLength());
    s.sequenceNumber = packet->GetSequenceNumber();
    s.packet = std::move(packet);
    return closed && pieceTotal_ > 0;
}

// Orders the collected slots, takes each sequence number once, and lists
// their payloads up to the frame limit; the slots become the completed frame.
void CHbRtpDemux::Complete() {
    frameTimestamp_ = lastTimestamp_;
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
        // Packets mostly arrive in order: check before sorting.
        bool sorted = true;
        for (std::size_t i = 1; i < used_ && sorted; ++i)
            sorted = key(order_[i - 1]) <= key(order_[i]);
        if (!sorted)
            std::stable_sort(order_.begin(), order_.end(),
                             [&](uint32_t a, uint32_t b) { return key(a) < key(b); });
    }
    pieces_.clear();
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
        pieces_.emplace_back(s.Bytes() + s.payloadOffset, n);
        total += n;
    }
    pieceTotal_ = total;
    // The pieces point into the packets' own storage, which the swap keeps.
    std::swap(slots_, done_);
    for (std::size_t i = 0; i < slots_.size(); ++i)
        slots_[i].packet.reset();
    used_ = 0; // the slots keep their storage for the next frame
}

bool CHbRtpDemux::Finish() {
    if (used_ == 0) return false;
    Complete();
    return pieceTotal_ > 0;
}

// Joins the completed frame into the frame buffer (the byte interfaces).
bool CHbRtpDemux::Join(uint8_t** frame, int32_t* frameLength) {
    if (pieceTotal_ > frame_.size())
        frame_.resize(std::min(kMaxFrameSize, std::max(frame_.size() * 2, pieceTotal_)));
    std::size_t at = 0;
    for (const Piece& p : pieces_) {
        std::memcpy(frame_.data() + at, p.data(), p.size());
        at += p.size();
    }
    if (frame) *frame = frame_.data();
    if (frameLength) *frameLength = static_cast<int32_t>(pieceTotal_);
    return pieceTotal_ > 0;
}

PacketSlot& CHbRtpDemux::NewSlot() {
    if (used_ == slots_.size()) slots_.emplace_back();
    return slots_[used_++];
}

void CHbRtpDemux::Fill(PacketSlot& s, const uint8_t* packet, std::size_t length) {
    int32_t padding = (packet[0] & 0x20) ? packet[length - 1] : 0;
    int64_t header = 12 + 4 * (packet[0] & 0x0F);
    if ((packet[0] & 0x10) && header + 4 <= static_cast<int64_t>(length)) {
        const uint8_t* ext = packet + header;
        header += 4 + 4 * static_cast<int64_t>(ext[2] << 8 | ext[3]);
    } else if (packet[0] & 0x10) {
        header += 4; // the extension header itself does not fit: no payload
    }
    s.copiedLength = static_cast<int32_t>(length);
    s.payloadOffset = static_cast<int32_t>(std::min<int64_t>(header, length));
    int64_t payload = static_cast<int64_t>(length) - padding - header;
    s.payloadLength = payload < 1 ? 0 : static_cast<int32_t>(payload);
    s.sequenceNumber = length >= 4 ? static_cast<uint16_t>(packet[2] << 8 | packet[3]) : 0;
}

void CHbRtpDemux::AddPacket(const uint8_t* packet, std::size_t length) {
    if (!packet || length == 0) return;
    length = std::min<std::size_t>(length, 65535);
    PacketSlot& s = NewSlot();
    s.packet.reset();
    s.data.assign(packet, packet + length);
    Fill(s, s.data.data(), length);
}

void CHbRtpDemux::Clear() {
    used_ = 0;
    pieces_.clear();
    pieceTotal_ = 0;
    std::vector<PacketSlot>().swap(slots_);
    std::vector<PacketSlot>().swap(done_);
    std::vector<uint32_t>().swap(order_);
    std::vector<Piece>().swap(pieces_);
}

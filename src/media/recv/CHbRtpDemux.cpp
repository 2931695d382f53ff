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

bool CHbRtpDemux::InputRtp(const uint8_t* packet, std::size_t length, uint8_t** frame,
                           int32_t* frameLength) {
    // The joined frame exists only for the byte interfaces.
    if (frame_.empty()) frame_.assign(kInitialFrameSize, 0);
    if (frame) *frame = frame_.data();
    if (!packet || length < 12) return false;
    AddPacket(packet, length);
    return Complete(false) && Join(frame, frameLength);
}

bool CHbRtpDemux::InputRtp(std::unique_ptr<tvrtp::Packet> packet) {
    // The packet was parsed and checked as it was read: its header fields are
    // taken from there, and its bytes are not touched before the demultiplexer
    // copies its payload.
    if (!packet) return false;
    PacketSlot s;
    s.sequenceNumber = packet->GetSequenceNumber();
    s.timestamp = packet->GetTimestamp();
    if (packet->GetPayloadType() != payloadType_) {
        s.filler = true; // fills its number; the packet itself is not kept
    } else {
        s.copiedLength = static_cast<int32_t>(packet->GetPacketLength());
        s.payloadOffset = static_cast<int32_t>(packet->GetPayloadData() - packet->GetPacketData());
        s.payloadLength = static_cast<int32_t>(packet->GetPayloadLength());
        s.packet = std::move(packet);
    }
    if (!Hold(std::move(s))) return false;
    return Complete(false);
}

bool CHbRtpDemux::NextFrame() {
    return Complete(false);
}

bool CHbRtpDemux::NextFrame(uint8_t** frame, int32_t* frameLength) {
    if (frame_.empty()) frame_.assign(kInitialFrameSize, 0);
    if (frame) *frame = frame_.data();
    return Complete(false) && Join(frame, frameLength);
}

bool CHbRtpDemux::Hold(PacketSlot&& s) {
    if (!started_) {
        started_ = true;
        delivered_ = false;
        next_ = highest_ = s.sequenceNumber;
    }
    // Extended relative to the highest number so far.
    int64_t ext =
        highest_ + static_cast<int16_t>(static_cast<uint16_t>(s.sequenceNumber - static_cast<uint16_t>(highest_)));
    if (ext > highest_ + kMaxDropout || ext < next_ - kMaxDropout) {
        // The sender restarted its numbering: what is held of the old one is
        // given up, and counting starts afresh from this packet.
        held_.clear();
        delivered_ = false;
        next_ = highest_ = ext = s.sequenceNumber;
    }
    if (ext < next_) {
        // Before anything went out, an earlier packet moves the start back.
        if (delivered_) {
            ++tooLate_;
            return false;
        }
        next_ = ext;
    }
    s.extended = ext;
    if (!s.filler) lastTimestamp_ = s.timestamp;
    highest_ = std::max(highest_, ext);
    // Mostly in order: the end is the place.
    auto at = held_.end();
    if (!held_.empty() && held_.back().extended >= ext)
        at = std::lower_bound(held_.begin(), held_.end(), ext,
                              [](const PacketSlot& a, int64_t e) { return a.extended < e; });
    if (at != held_.end() && at->extended == ext) return false; // a repeat: kept once
    held_.insert(at, std::move(s));
    return true;
}

bool CHbRtpDemux::Complete(bool force) {
    for (;;) {
        if (held_.empty()) return false;
        // The oldest frame: the run from the first packet held with its
        // timestamp, fillers belonging to whatever surrounds them.
        std::size_t first = 0;
        while (first < held_.size() && held_[first].filler)
            ++first;
        if (first == held_.size()) {
            if (!force) return false;
            next_ = held_.back().extended + 1;
            held_.clear();
            return false;
        }
        const uint32_t ts = held_[first].timestamp;
        bool whole = held_[0].extended == next_;
        std::size_t end = 0; // one past the frame's last packet in held_
        int64_t expect = held_[0].extended;
        for (; end < held_.size(); ++end) {
            const PacketSlot& s = held_[end];
            if (!s.filler && s.timestamp != ts) break;
            if (s.extended != expect) whole = false;
            expect = s.extended + 1;
        }
        // Complete: nothing missing, and the next packet in the numbering,
        // of another timestamp, is there.
        const bool complete = whole && end < held_.size() && held_[end].extended == expect;
        if (!complete && !force) {
            const bool pastBound =
                end < held_.size() &&
                (held_.size() - end > kReorderPackets ||
                 static_cast<int32_t>(lastTimestamp_ - ts) > static_cast<int32_t>(kReorderTicks));
            if (!pastBound) return false;
        }
        // The frame goes out: its payloads in order, up to the frame limit.
        done_.clear();
        pieces_.clear();
        std::size_t total = 0;
        for (std::size_t i = 0; i < end; ++i) {
            PacketSlot& s = held_[i];
            if (s.filler || s.payloadLength < 1) continue;
            const std::size_t n = static_cast<std::size_t>(s.payloadLength);
            if (total + n > kMaxFrameSize) continue; // beyond 16 MiB the frame is cut
            done_.push_back(std::move(s));
            total += n;
        }
        // The pieces point into the packets' own storage (a moved vector or
        // packet keeps its bytes where they are).
        for (const PacketSlot& s : done_)
            pieces_.emplace_back(s.Bytes() + s.payloadOffset,
                                 static_cast<std::size_t>(s.payloadLength));
        pieceTotal_ = total;
        frameTimestamp_ = ts;
        // Numbers missing after it may be the next frame's: still awaited.
        next_ = held_[end - 1].extended + 1;
        held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(end));
        delivered_ = true;
        if (total > 0) return true;
        if (force) return false;
    }
}

bool CHbRtpDemux::Finish() {
    return Complete(true);
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
    s.timestamp = length >= 8 ? static_cast<uint32_t>(packet[4]) << 24 |
                                    static_cast<uint32_t>(packet[5]) << 16 |
                                    static_cast<uint32_t>(packet[6]) << 8 | packet[7]
                              : 0;
}

void CHbRtpDemux::AddPacket(const uint8_t* packet, std::size_t length) {
    if (!packet || length < 12) return;
    length = std::min<std::size_t>(length, 65535);
    PacketSlot s;
    if ((packet[1] & 0x7F) != payloadType_) {
        s.filler = true;
        Fill(s, packet, length);
        s.payloadLength = 0;
    } else {
        s.data.assign(packet, packet + length);
        Fill(s, s.data.data(), length);
    }
    Hold(std::move(s));
}

void CHbRtpDemux::Clear() {
    started_ = false;
    delivered_ = false;
    pieces_.clear();
    pieceTotal_ = 0;
    std::deque<PacketSlot>().swap(held_);
    std::vector<PacketSlot>().swap(done_);
    std::vector<Piece>().swap(pieces_);
}

#pragma once
// One received RTP packet, validated and parsed (RFC 3550 section 5.1).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace tvrtp {

class Packet {
public:
    // Parses a datagram or a TCP-framed packet. Returns null when the bytes are
    // not a well-formed RTP packet: version other than 2, CSRC list, header
    // extension or padding that does not fit inside the packet.
    static std::unique_ptr<Packet> Parse(const uint8_t* data, std::size_t length);
    // The same, keeping the given bytes instead of copying them.
    static std::unique_ptr<Packet> Parse(std::vector<uint8_t>&& bytes);

    uint8_t GetPayloadType() const { return payloadType_; }
    bool HasMarker() const { return marker_; }
    uint16_t GetSequenceNumber() const { return sequence_; }
    uint32_t GetTimestamp() const { return timestamp_; }
    uint32_t GetSSRC() const { return ssrc_; }
    int GetCSRCCount() const { return csrcCount_; }
    bool HasExtension() const { return extension_; }

    // The whole packet as received, header included.
    const uint8_t* GetPacketData() const { return bytes_.data(); }
    std::size_t GetPacketLength() const { return bytes_.size(); }
    const uint8_t* GetPayloadData() const { return bytes_.data() + payloadOffset_; }
    std::size_t GetPayloadLength() const { return payloadLength_; }

    // Sequence number extended with the source's cycle count; set by the session.
    uint32_t GetExtendedSequenceNumber() const { return extendedSequence_; }
    void SetExtendedSequenceNumber(uint32_t s) { extendedSequence_ = s; }

private:
    Packet() = default;
    std::vector<uint8_t> bytes_;
    std::size_t payloadOffset_ = 0;
    std::size_t payloadLength_ = 0;
    uint32_t timestamp_ = 0;
    uint32_t ssrc_ = 0;
    uint32_t extendedSequence_ = 0;
    uint16_t sequence_ = 0;
    uint8_t payloadType_ = 0;
    uint8_t csrcCount_ = 0;
    bool marker_ = false;
    bool extension_ = false;
};

} // namespace tvrtp

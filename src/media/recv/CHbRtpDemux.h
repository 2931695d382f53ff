#pragma once
// Joins the RTP packets of one timestamp into one frame of program stream.
//
// Packets of the current timestamp are collected in arrival order; when a
// packet with another timestamp arrives, the collected ones are ordered by
// sequence number (serial-number arithmetic, so 65535 comes before 0), a
// repeated sequence number is taken once, and their payloads are joined. The
// frame of the last timestamp of a stream is therefore never delivered.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tvrtp {
class Packet;
}

// One received packet, kept whole (RTP over TCP carries up to 65535 bytes).
struct PacketSlot {
    std::vector<uint8_t> data; // the whole RTP packet, header included
    int32_t copiedLength = 0;  // bytes in data
    int32_t payloadOffset = 0; // the RTP header length
    int32_t payloadLength = 0; // copied length minus padding minus header; < 1 adds nothing
    uint16_t sequenceNumber = 0;
};

class CHbRtpDemux {
public:
    static constexpr std::size_t kInitialFrameSize = 524288; // 512 KiB
    static constexpr std::size_t kMaxFrameSize = 16u << 20;  // 16 MiB
    static constexpr uint8_t kPayloadType = 96;

    CHbRtpDemux();
    virtual ~CHbRtpDemux() = default;

    // Feeds one packet. Returns true when the packet completed a non-empty
    // frame; then *frame and *frameLength describe it until the next completed
    // frame. *frame is set on every call.
    bool InputRtp(const tvrtp::Packet& packet, uint8_t** frame, int32_t* frameLength);
    // The same for raw packet bytes (payload type and timestamp read from them).
    bool InputRtp(const uint8_t* packet, std::size_t length, uint8_t** frame, int32_t* frameLength);
    // Appends one packet to the current frame.
    void AddPacket(const uint8_t* packet, std::size_t length);
    // Discards the collected packets and frees their storage.
    void Clear();

    std::size_t PendingPackets() const { return used_; }
    std::size_t FrameCapacity() const { return frame_.size(); }

private:
    bool Complete(uint8_t** frame, int32_t* frameLength);

    std::vector<uint8_t> frame_;
    uint32_t lastTimestamp_ = 0;
    // Slots are reused from frame to frame; used_ of them hold packets.
    std::vector<PacketSlot> slots_;
    std::size_t used_ = 0;
    std::vector<uint32_t> order_; // scratch: slot indexes in sequence order
};

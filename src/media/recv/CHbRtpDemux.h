#pragma once
// Joins the RTP packets of one timestamp into one frame of program stream.
//
// Packets of the current timestamp are collected in arrival order; when a
// packet with another timestamp arrives, the collected ones are ordered by
// sequence number (serial-number arithmetic, so 65535 comes before 0), a
// repeated sequence number is taken once, and their payloads form the frame.
// The frame of the last timestamp of a stream is therefore never delivered.
//
// Packets handed over as tvrtp::Packet objects are kept as they are and the
// completed frame is described by the list of their payloads (FramePieces), so
// that the demultiplexer copies each payload byte once, from the packet to the
// elementary stream. The byte interfaces copy the packet into a slot and join
// the frame into one buffer.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace tvrtp {
class Packet;
}

// One received packet, kept whole (RTP over TCP carries up to 65535 bytes):
// either owned as it came from the session, or copied into data.
struct PacketSlot {
    std::unique_ptr<tvrtp::Packet> packet; // owned packet, or null
    std::vector<uint8_t> data;             // the whole RTP packet, header included, when not owned
    int32_t copiedLength = 0;              // bytes of the packet
    int32_t payloadOffset = 0;             // the RTP header length
    int32_t payloadLength = 0; // copied length minus padding minus header; < 1 adds nothing
    uint16_t sequenceNumber = 0;

    const uint8_t* Bytes() const;
};

class CHbRtpDemux {
public:
    using Piece = std::span<const uint8_t>;
    static constexpr std::size_t kInitialFrameSize = 524288; // 512 KiB
    static constexpr std::size_t kMaxFrameSize = 16u << 20;  // 16 MiB
    static constexpr uint8_t kPayloadType = 96;

    CHbRtpDemux();
    virtual ~CHbRtpDemux();

    // Feeds one packet. Returns true when the packet completed a non-empty
    // frame; then *frame and *frameLength describe it, joined in one buffer,
    // until the next completed frame. *frame is set on every call.
    bool InputRtp(const tvrtp::Packet& packet, uint8_t** frame, int32_t* frameLength);
    // The same for raw packet bytes (payload type and timestamp read from them).
    bool InputRtp(const uint8_t* packet, std::size_t length, uint8_t** frame, int32_t* frameLength);
    // Feeds one packet that the reassembler keeps. Returns true when it
    // completed a non-empty frame, whose payloads FramePieces lists in order
    // (valid until the next call that completes a frame or Clear). Nothing is
    // joined or copied.
    bool InputRtp(std::unique_ptr<tvrtp::Packet> packet);
    const std::vector<Piece>& FramePieces() const { return pieces_; }
    std::size_t FrameLength() const { return pieceTotal_; }
    // The RTP timestamp of the completed frame.
    uint32_t FrameTimestamp() const { return frameTimestamp_; }

    // Completes the packets collected so far as a frame, as a packet of a new
    // timestamp would (for a stream that ends or changes source). True when
    // the frame is not empty; FramePieces lists it.
    bool Finish();

    // Appends one packet to the current frame.
    void AddPacket(const uint8_t* packet, std::size_t length);
    // Discards the collected packets and the completed frame, and frees their
    // storage.
    void Clear();

    std::size_t PendingPackets() const { return used_; }
    std::size_t FrameCapacity() const { return frame_.size(); }

private:
    // True when a packet's timestamp closes the frame being collected, which
    // is then completed into pieces_.
    bool Closes(uint32_t timestamp);
    PacketSlot& NewSlot();
    void Fill(PacketSlot& s, const uint8_t* packet, std::size_t length);
    void Complete();
    bool Join(uint8_t** frame, int32_t* frameLength);

    std::vector<uint8_t> frame_; // the joined frame of the byte interfaces
    uint32_t lastTimestamp_ = 0;
    uint32_t frameTimestamp_ = 0;
    // Slots are reused from frame to frame; used_ of them hold packets of the
    // current timestamp. done_ holds the packets of the completed frame.
    std::vector<PacketSlot> slots_;
    std::size_t used_ = 0;
    std::vector<PacketSlot> done_;
    std::vector<uint32_t> order_; // scratch: slot indexes in sequence order
    std::vector<Piece> pieces_;   // payloads of the completed frame, in order
    std::size_t pieceTotal_ = 0;
};

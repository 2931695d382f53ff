#pragma once
// Joins the RTP packets of one timestamp into one frame of program stream,
// across a bounded reordering of the packets.
//
// Packets are held in sequence-number order (serial-number arithmetic, so
// 65535 comes before 0; a repeated number is taken once). A frame is a run of
// consecutive sequence numbers with the same timestamp; it is complete when
// every number of the run is there and the packet after it, of another
// timestamp, has come. A late or swapped packet therefore costs nothing while
// it comes within the bound: until kReorderPackets packets have been held
// beyond the incomplete frame, or a packet kReorderTicks (100 ms at 90 kHz)
// newer than it has come. Past the bound the missing packets are given up and
// the frame goes out with what it has; a packet older than what went out is
// dropped. Packets of another payload type (audio in the same numbering) fill
// their number and add nothing. Frames come out in sequence order; one packet
// may complete several (NextFrame gives the rest). The frame of the last
// timestamp of a stream is delivered only by Finish.
//
// Packets handed over as tvrtp::Packet objects are kept as they are and the
// completed frame is described by the list of their payloads (FramePieces), so
// that the demultiplexer copies each payload byte once, from the packet to the
// elementary stream. The byte interfaces copy the packet into a slot and join
// the frame into one buffer.

#include <cstddef>
#include <cstdint>
#include <deque>
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
    int64_t extended = 0;      // the sequence number with its cycles
    uint32_t timestamp = 0;
    bool filler = false; // a packet of another payload type: fills its number only

    const uint8_t* Bytes() const;
};

class CHbRtpDemux {
public:
    using Piece = std::span<const uint8_t>;
    static constexpr std::size_t kInitialFrameSize = 524288; // 512 KiB
    static constexpr std::size_t kMaxFrameSize = 16u << 20;  // 16 MiB
    // The payload type the stream is taken in unless SetPayloadType names
    // another (the answer's a=rtpmap).
    static constexpr uint8_t kPayloadType = 96;
    // The reordering bound: packets held beyond an incomplete frame, and how
    // much newer (90 kHz ticks) a packet may be before the frame's missing
    // packets are given up.
    static constexpr std::size_t kReorderPackets = 64;
    static constexpr uint32_t kReorderTicks = 9000;
    // A jump of the numbering this large is a restart of the sender's.
    static constexpr int64_t kMaxDropout = 3000;

    CHbRtpDemux();
    virtual ~CHbRtpDemux();

    // The payload type of the stream's packets; any other fills its number only.
    void SetPayloadType(uint8_t pt) { payloadType_ = pt & 0x7F; }
    uint8_t PayloadType() const { return payloadType_; }

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
    // The next frame the last packet completed as well, if any (true: it is
    // now the completed frame). The byte form joins it.
    bool NextFrame();
    bool NextFrame(uint8_t** frame, int32_t* frameLength);
    const std::vector<Piece>& FramePieces() const { return pieces_; }
    std::size_t FrameLength() const { return pieceTotal_; }
    // The RTP timestamp of the completed frame.
    uint32_t FrameTimestamp() const { return frameTimestamp_; }

    // Completes the oldest frame held, missing packets or not, as the end of
    // a stream (or a change of source) would. True when it is not empty;
    // call while PendingPackets() > 0 to have every frame held.
    bool Finish();

    // Appends one packet (raw bytes) to the packets held.
    void AddPacket(const uint8_t* packet, std::size_t length);
    // Discards the held packets and the completed frame, and frees their
    // storage.
    void Clear();

    std::size_t PendingPackets() const { return held_.size(); }
    std::size_t FrameCapacity() const { return frame_.size(); }
    // Packets dropped because they came after their frame had gone out.
    uint64_t TooLate() const { return tooLate_; }

private:
    // Holds the slot in sequence order; false (and drops it) for a repeat
    // or a packet older than what went out.
    bool Hold(PacketSlot&& s);
    // Completes the oldest frame if it is complete or past the bound (or
    // force); repeats over empty frames. True for a non-empty frame.
    bool Complete(bool force);
    void Fill(PacketSlot& s, const uint8_t* packet, std::size_t length);
    bool Join(uint8_t** frame, int32_t* frameLength);

    std::vector<uint8_t> frame_; // the joined frame of the byte interfaces
    std::deque<PacketSlot> held_; // in sequence order
    bool started_ = false;   // a packet was held since the start or a restart
    bool delivered_ = false; // a frame went out since then
    int64_t next_ = 0;       // the first sequence number not gone out
    int64_t highest_ = 0;    // the highest sequence number held or gone
    uint32_t lastTimestamp_ = 0; // of the newest packet by arrival
    uint32_t frameTimestamp_ = 0;
    uint64_t tooLate_ = 0;
    uint8_t payloadType_ = kPayloadType;
    std::vector<PacketSlot> done_; // the packets of the completed frame
    std::vector<Piece> pieces_;    // payloads of the completed frame, in order
    std::size_t pieceTotal_ = 0;
};

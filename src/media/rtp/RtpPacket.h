#pragma once
// One received RTP packet, validated and parsed (RFC 3550 section 5.1), and
// the storage that received packets are read into.
//
// A packet object and its bytes sit in one block: [Packet | bytes]. Blocks of
// received packets are cut one after the other from slabs of a PacketArena,
// so that consecutive packets lie next to each other in memory and a frame's
// payloads are read as one stream. A slab goes back to its pool once every
// packet cut from it is gone and is then reused first (LIFO), while it is
// still in cache. A packet that does not fit a slab gets a block of its own.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <vector>

namespace tvrtp {

class PacketPool;
struct Slab;

// The bytes of one packet as read, in a block that has room for its Packet
// object in front. Move-only; releases its block when dropped unparsed.
class PacketBytes {
public:
    PacketBytes() = default;
    PacketBytes(PacketBytes&& o) noexcept { *this = std::move(o); }
    PacketBytes& operator=(PacketBytes&& o) noexcept;
    ~PacketBytes() { Drop(); }

    const uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    // A block of its own holding a copy of the given bytes.
    static PacketBytes Copy(const uint8_t* data, std::size_t length);

private:
    friend class Packet;
    friend class PacketArena;
    static PacketBytes Own(std::size_t length); // a block of its own, unwritten
    void Drop();
    Slab* slab_ = nullptr;  // null: a block of its own (or empty)
    uint8_t* block_ = nullptr;
    uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

class Packet {
public:
    // Parses a datagram or a TCP-framed packet. Returns null when the bytes are
    // not a well-formed RTP packet: version other than 2, CSRC list, header
    // extension or padding that does not fit inside the packet.
    static std::unique_ptr<Packet> Parse(const uint8_t* data, std::size_t length);
    static std::unique_ptr<Packet> Parse(std::vector<uint8_t>&& bytes);
    // The same for bytes read into packet storage: the packet object is made
    // in front of them, nothing is copied.
    static std::unique_ptr<Packet> Parse(PacketBytes&& bytes);

    Packet(const Packet&) = delete;
    Packet& operator=(const Packet&) = delete;
    ~Packet() = default;
    // Gives the block back to its slab (or frees it).
    void operator delete(Packet* p, std::destroying_delete_t);

    uint8_t GetPayloadType() const { return payloadType_; }
    bool HasMarker() const { return marker_; }
    uint16_t GetSequenceNumber() const { return sequence_; }
    uint32_t GetTimestamp() const { return timestamp_; }
    uint32_t GetSSRC() const { return ssrc_; }
    int GetCSRCCount() const { return csrcCount_; }
    bool HasExtension() const { return extension_; }

    // The whole packet as received, header included.
    const uint8_t* GetPacketData() const { return data_; }
    std::size_t GetPacketLength() const { return length_; }
    const uint8_t* GetPayloadData() const { return data_ + payloadOffset_; }
    std::size_t GetPayloadLength() const { return payloadLength_; }

    // Sequence number extended with the source's cycle count; set by the session.
    uint32_t GetExtendedSequenceNumber() const { return extendedSequence_; }
    void SetExtendedSequenceNumber(uint32_t s) { extendedSequence_ = s; }
    // When the poll thread read it; set by the session (for the jitter).
    std::chrono::steady_clock::time_point GetArrival() const { return arrival_; }
    void SetArrival(std::chrono::steady_clock::time_point t) { arrival_ = t; }

    // Room a block keeps in front of the bytes for the packet object.
    static constexpr std::size_t kObjectRoom = 64;

private:
    Packet() = default;
    const uint8_t* data_ = nullptr;
    Slab* slab_ = nullptr; // null: the block is the packet's own
    uint32_t length_ = 0;
    uint32_t payloadOffset_ = 0;
    uint32_t payloadLength_ = 0;
    uint32_t timestamp_ = 0;
    uint32_t ssrc_ = 0;
    uint32_t extendedSequence_ = 0;
    std::chrono::steady_clock::time_point arrival_{};
    uint16_t sequence_ = 0;
    uint8_t payloadType_ = 0;
    uint8_t csrcCount_ = 0;
    bool marker_ = false;
    bool extension_ = false;
};

// Cuts packet blocks from slabs, for one thread (the one that reads the
// socket). Packets may be released on any thread, before or after the arena
// is gone.
class PacketArena {
public:
    static constexpr std::size_t kSlabSize = 128u << 10;
    // Free slabs kept for reuse; more are given back to the allocator.
    static constexpr std::size_t kKeptSlabs = 16;

    explicit PacketArena(std::size_t slabSize = kSlabSize, std::size_t keptSlabs = kKeptSlabs);
    ~PacketArena();
    PacketArena(const PacketArena&) = delete;
    PacketArena& operator=(const PacketArena&) = delete;

    // Writable room for the next packet's bytes, at least min bytes (more when
    // the slab has more). Null span when min does not fit a slab: Copy then
    // gives the packet a block of its own.
    std::span<uint8_t> Room(std::size_t min);
    // Takes the first length bytes written at the last Room as a packet.
    PacketBytes Commit(std::size_t length);
    // Room, copy, Commit; the bytes may come in two parts (a datagram that ran
    // past the room it was read into).
    PacketBytes Copy(const uint8_t* data, std::size_t length, const uint8_t* more = nullptr,
                     std::size_t moreLength = 0);

    // Slabs taken from the allocator so far (reused ones not counted again).
    std::size_t SlabsMade() const;

private:
    struct Retired {
        Slab* slab = nullptr;
        std::int64_t cut = 0;
    };
    // Room that may start a new slab; the one left is handed back unclosed.
    std::span<uint8_t> Room(std::size_t min, Retired& old);
    static void Close(Retired r);

    std::shared_ptr<PacketPool> pool_;
    Slab* slab_ = nullptr;     // the slab being cut
    std::size_t used_ = 0;     // bytes of it handed out (header included)
    std::int64_t cut_ = 0;     // blocks cut from it
};

} // namespace tvrtp

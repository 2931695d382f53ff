#include "media/rtp/RtpPacket.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace tvrtp {

namespace {
uint16_t be16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
uint32_t be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}
// Blocks start on a cache line: the packet object fills the first one.
constexpr std::size_t kAlign = 64;
constexpr std::size_t roundUp(std::size_t n) {
    return (n + kAlign - 1) / kAlign * kAlign;
}
} // namespace

// The head of a slab; the blocks follow it. The count has a cache line of its
// own, since the thread that releases packets is usually not the one cutting.
struct alignas(kAlign) Slab {
    // Released blocks count down from 0; the cutter adds the blocks it cut
    // when it closes the slab. The one who brings it to 0 recycles the slab.
    alignas(kAlign) std::atomic<std::int64_t> refs{0};
    alignas(kAlign) std::shared_ptr<PacketPool> pool; // held while the slab is out
    std::size_t size = 0;

    uint8_t* Base() { return reinterpret_cast<uint8_t*>(this); }
};
constexpr std::size_t kSlabHead = roundUp(sizeof(Slab));
static_assert(sizeof(Packet) <= Packet::kObjectRoom && alignof(Packet) <= kAlign);

// Free slabs of one arena, shared with the slabs out there.
class PacketPool {
public:
    PacketPool(std::size_t slabSize, std::size_t kept) : slabSize_(slabSize), kept_(kept) {}
    ~PacketPool() {
        for (Slab* s : free_)
            Free(s);
    }
    // A free slab, most recently freed first.
    Slab* Take() {
        {
            std::lock_guard<std::mutex> l(m_);
            if (!free_.empty()) {
                Slab* s = free_.back();
                free_.pop_back();
                return s;
            }
        }
        made_.fetch_add(1, std::memory_order_relaxed);
        void* mem = ::operator new(slabSize_, std::align_val_t{kAlign});
        Slab* s = new (mem) Slab;
        s->size = slabSize_;
        return s;
    }
    void Give(Slab* s) {
        {
            std::lock_guard<std::mutex> l(m_);
            if (free_.size() < kept_) {
                free_.push_back(s);
                return;
            }
        }
        Free(s);
    }
    std::size_t Made() const { return made_.load(std::memory_order_relaxed); }
    std::size_t SlabSize() const { return slabSize_; }

    // Every block of s is gone: back to its pool, which the slab kept alive
    // (and which may end here, with the last slab out).
    static void Recycle(Slab* s) {
        std::shared_ptr<PacketPool> pool = std::move(s->pool);
        s->refs.store(0, std::memory_order_relaxed);
        pool->Give(s);
    }
    static void Release(Slab* s) {
        if (s->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) Recycle(s);
    }

private:
    static void Free(Slab* s) {
        s->~Slab();
        ::operator delete(static_cast<void*>(s), std::align_val_t{kAlign});
    }
    std::mutex m_;
    std::vector<Slab*> free_;
    const std::size_t slabSize_;
    const std::size_t kept_;
    std::atomic<std::size_t> made_{0};
};

// ---------------------------------------------------------------- PacketBytes

PacketBytes& PacketBytes::operator=(PacketBytes&& o) noexcept {
    if (this != &o) {
        Drop();
        slab_ = o.slab_;
        block_ = o.block_;
        data_ = o.data_;
        size_ = o.size_;
        o.slab_ = nullptr;
        o.block_ = nullptr;
        o.data_ = nullptr;
        o.size_ = 0;
    }
    return *this;
}

void PacketBytes::Drop() {
    if (slab_)
        PacketPool::Release(slab_);
    else if (block_)
        ::operator delete(block_);
    slab_ = nullptr;
    block_ = nullptr;
    data_ = nullptr;
    size_ = 0;
}

PacketBytes PacketBytes::Own(std::size_t length) {
    PacketBytes b;
    b.block_ = static_cast<uint8_t*>(::operator new(Packet::kObjectRoom + length));
    b.data_ = b.block_ + Packet::kObjectRoom;
    b.size_ = length;
    return b;
}

PacketBytes PacketBytes::Copy(const uint8_t* data, std::size_t length) {
    PacketBytes b = Own(length);
    if (length) std::memcpy(b.data_, data, length);
    return b;
}

// ---------------------------------------------------------------- PacketArena

PacketArena::PacketArena(std::size_t slabSize, std::size_t keptSlabs)
    : pool_(std::make_shared<PacketPool>(
          std::max(roundUp(slabSize), kSlabHead + Packet::kObjectRoom + kAlign), keptSlabs)) {}

PacketArena::~PacketArena() {
    Close({slab_, cut_});
}

std::size_t PacketArena::SlabsMade() const {
    return pool_->Made();
}

void PacketArena::Close(Retired r) {
    if (r.slab && r.slab->refs.fetch_add(r.cut, std::memory_order_acq_rel) == -r.cut)
        PacketPool::Recycle(r.slab);
}

std::span<uint8_t> PacketArena::Room(std::size_t min) {
    Retired old;
    std::span<uint8_t> room = Room(min, old);
    Close(old);
    return room;
}

std::span<uint8_t> PacketArena::Room(std::size_t min, Retired& old) {
    const std::size_t size = pool_->SlabSize();
    const std::size_t need = Packet::kObjectRoom + min;
    if (need > size - kSlabHead) return {};
    if (!slab_ || used_ + need > size) {
        old = {slab_, cut_};
        slab_ = pool_->Take();
        slab_->pool = pool_;
        used_ = kSlabHead;
        cut_ = 0;
    }
    const std::size_t at = used_ + Packet::kObjectRoom;
    return {slab_->Base() + at, size - at};
}

PacketBytes PacketArena::Commit(std::size_t length) {
    PacketBytes b;
    if (!slab_) return b;
    length = std::min(length, pool_->SlabSize() - used_ - Packet::kObjectRoom);
    b.slab_ = slab_;
    b.block_ = slab_->Base() + used_;
    b.data_ = b.block_ + Packet::kObjectRoom;
    b.size_ = length;
    used_ = std::min(pool_->SlabSize(), used_ + roundUp(Packet::kObjectRoom + length));
    ++cut_;
    return b;
}

PacketBytes PacketArena::Copy(const uint8_t* data, std::size_t length, const uint8_t* more,
                              std::size_t moreLength) {
    const std::size_t total = length + moreLength;
    // The bytes may lie in the room of the slab being left (a datagram that
    // ran past it): that slab is closed only once they are copied.
    Retired old;
    std::span<uint8_t> room = Room(total, old);
    PacketBytes b;
    if (room.empty()) b = PacketBytes::Own(total);
    uint8_t* to = room.empty() ? b.data_ : room.data();
    if (length && to != data) std::memmove(to, data, length);
    if (moreLength) std::memcpy(to + length, more, moreLength);
    Close(old);
    return room.empty() ? std::move(b) : Commit(total);
}

// ---------------------------------------------------------------- Packet

void Packet::operator delete(Packet* p, std::destroying_delete_t) {
    Slab* s = p->slab_;
    void* block = p;
    p->~Packet();
    if (s)
        PacketPool::Release(s);
    else
        ::operator delete(block);
}

std::unique_ptr<Packet> Packet::Parse(const uint8_t* data, std::size_t length) {
    if (!data || length < 12 || length > 65535) return nullptr;
    return Parse(PacketBytes::Copy(data, length));
}

std::unique_ptr<Packet> Packet::Parse(std::vector<uint8_t>&& bytes) {
    return Parse(bytes.data(), bytes.size());
}

std::unique_ptr<Packet> Packet::Parse(PacketBytes&& bytes) {
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

    // The object goes in front of the bytes, in the room the block keeps.
    Packet* p = new (bytes.block_) Packet;
    p->data_ = data;
    p->slab_ = bytes.slab_;
    p->length_ = static_cast<uint32_t>(length);
    p->payloadOffset_ = static_cast<uint32_t>(header);
    p->payloadLength_ = static_cast<uint32_t>(length - header - pad);
    p->payloadType_ = pt;
    p->marker_ = data[1] & 0x80;
    p->sequence_ = be16(data + 2);
    p->timestamp_ = be32(data + 4);
    p->ssrc_ = be32(data + 8);
    p->csrcCount_ = static_cast<uint8_t>(csrc);
    p->extension_ = extension;
    p->extendedSequence_ = p->sequence_;
    // The block now belongs to the packet.
    bytes.slab_ = nullptr;
    bytes.block_ = nullptr;
    bytes.data_ = nullptr;
    bytes.size_ = 0;
    return std::unique_ptr<Packet>(p);
}

} // namespace tvrtp

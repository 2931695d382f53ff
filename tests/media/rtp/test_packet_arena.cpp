// Packet storage: packets cut from slabs keep their bytes while they live, a
// slab is reused only once all its packets are gone, packets larger than a
// slab or read past a slab's room arrive whole, and packets may outlive the
// arena and be released on another thread.

#include "media/MediaTestUtil.h"
#include "media/recv/CHbRtpDemux.h"
#include "media/rtp/RtpPacket.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

namespace {

using Bytes = std::vector<uint8_t>;
using PacketPtr = std::unique_ptr<tvrtp::Packet>;

// An RTP packet of the given sequence number whose payload bytes all derive
// from it, so that a packet overwritten by another shows.
Bytes Rtp(uint16_t seq, std::size_t payload, uint32_t ts = 0) {
    Bytes p(payload);
    for (std::size_t i = 0; i < payload; ++i)
        p[i] = static_cast<uint8_t>(seq * 7 + i);
    mt::RtpSpec s;
    s.seq = seq;
    s.ts = ts;
    return mt::MakeRtp(s, p);
}

PacketPtr Read(tvrtp::PacketArena& a, const Bytes& b) {
    std::span<uint8_t> room = a.Room(b.size());
    if (room.empty()) return tvrtp::Packet::Parse(a.Copy(b.data(), b.size()));
    std::memcpy(room.data(), b.data(), b.size());
    return tvrtp::Packet::Parse(a.Commit(b.size()));
}

// The packet of that sequence number, bytes and parsed fields alike (the
// object sits in the block too).
bool Intact(const PacketPtr& p, uint16_t seq, std::size_t payload, uint32_t ts = 0) {
    const Bytes want = Rtp(seq, payload, ts);
    if (p->GetSequenceNumber() != seq || p->GetTimestamp() != ts) return false;
    return p->GetPacketLength() == want.size() &&
           std::memcmp(p->GetPacketData(), want.data(), want.size()) == 0;
}

TEST(PacketArena, HeldPacketsKeepTheirBytesAndFreedSlabsAreReused) {
    tvrtp::PacketArena a(8192, 4);
    std::vector<PacketPtr> held;
    for (uint16_t k = 0; k < 4; ++k)
        held.push_back(Read(a, Rtp(k, 1000)));
    // Consecutive packets sit next to each other, object and bytes together.
    EXPECT_LT(held[1]->GetPacketData() - held[0]->GetPacketData(), 1200);
    EXPECT_GT(held[1]->GetPacketData(), held[0]->GetPacketData());
    // Many more packets, each gone at once: their slabs come back and are
    // taken again, never the ones the held packets are in.
    for (uint16_t k = 4; k < 400; ++k) {
        PacketPtr p = Read(a, Rtp(k, 1000));
        ASSERT_TRUE(p);
        EXPECT_TRUE(Intact(p, k, 1000));
    }
    for (uint16_t k = 0; k < 4; ++k)
        EXPECT_TRUE(Intact(held[k], k, 1000)) << k;
    const std::size_t made = a.SlabsMade();
    EXPECT_LE(made, 3u);
    held.clear();
    for (uint16_t k = 0; k < 400; ++k)
        Read(a, Rtp(k, 1000));
    EXPECT_EQ(a.SlabsMade(), made);
}

TEST(PacketArena, PacketsLargerThanASlabOrRunningPastItsRoomArriveWhole) {
    tvrtp::PacketArena a(4096, 0); // no slab kept: one freed early would show under ASan
    PacketPtr small = Read(a, Rtp(1, 100));
    PacketPtr big = Read(a, Rtp(2, 20000)); // a block of its own
    ASSERT_TRUE(big);
    EXPECT_TRUE(Intact(big, 2, 20000));
    EXPECT_EQ(big->GetPayloadLength(), 20000u);
    // A datagram read into the room left, running on into another buffer:
    // joined in a new slab while the old one is closed and let go.
    small.reset();
    while (a.Room(64).size() > 1500)
        Read(a, Rtp(9, 1000));
    std::span<uint8_t> room = a.Room(64);
    const Bytes whole = Rtp(3, room.size() + 500 - 12);
    std::memcpy(room.data(), whole.data(), room.size());
    PacketPtr joined = tvrtp::Packet::Parse(
        a.Copy(room.data(), room.size(), whole.data() + room.size(), whole.size() - room.size()));
    ASSERT_TRUE(joined);
    EXPECT_TRUE(Intact(joined, 3, whole.size() - 12));
    EXPECT_TRUE(Intact(big, 2, 20000));
    // Bytes that are no RTP packet give their block back; the arena goes on.
    EXPECT_FALSE(tvrtp::Packet::Parse(a.Copy(whole.data(), 8)));
    EXPECT_TRUE(Intact(Read(a, Rtp(4, 10)), 4, 10));
}

TEST(PacketArena, PacketsOutliveTheArenaAndAreReleasedOnAnotherThread) {
    std::deque<PacketPtr> queue;
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::size_t bad = 0, frames = 0;
    // Many frames in flight between the reading thread and the reassembler,
    // which holds the packets of the last frame until the next completes.
    std::thread consumer([&] {
        CHbRtpDemux demux;
        for (uint16_t next = 0;; ++next) {
            PacketPtr p;
            {
                std::unique_lock<std::mutex> l(m);
                cv.wait(l, [&] { return done || !queue.empty(); });
                if (queue.empty()) return;
                p = std::move(queue.front());
                queue.pop_front();
            }
            if (!Intact(p, next, 900, 90000u + (next / 10u) * 3600u)) ++bad;
            if (!demux.InputRtp(std::move(p))) continue;
            ++frames;
            for (const auto& piece : demux.FramePieces())
                if (piece.size() != 900) ++bad;
        }
    });
    {
        tvrtp::PacketArena a(16384, 2);
        for (uint16_t k = 0; k < 3000; ++k) {
            PacketPtr p = Read(a, Rtp(k, 900, 90000u + (k / 10u) * 3600u));
            std::lock_guard<std::mutex> l(m);
            queue.push_back(std::move(p));
            cv.notify_one();
        }
    } // the arena ends with packets still queued
    {
        std::lock_guard<std::mutex> l(m);
        done = true;
    }
    cv.notify_one();
    consumer.join();
    EXPECT_EQ(bad, 0u);
    EXPECT_EQ(frames, 299u);
}

} // namespace

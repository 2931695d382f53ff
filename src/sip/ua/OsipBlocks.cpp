#include "sip/ua/OsipBlocks.h"

#include <osipparser2/osip_port.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace sipua {
namespace {

// Requests over kSmallest go to the first class that holds them: osip's
// 8,000 byte serialisation buffer to the small slots, a 15,184 byte
// transaction to the large ones.
constexpr std::size_t kSmallest = 1024;

template <std::size_t Bytes, std::size_t Count>
struct Slots {
    alignas(64) unsigned char bytes[Bytes * Count];
    std::mutex mu;                // a leaf, held for a push or a pop
    std::uint16_t free[Count];    // the free slots' numbers, a stack
    std::size_t freeCount = Count;
    unsigned long long served = 0;
    Slots() {
        for (std::size_t i = 0; i < Count; ++i)
            free[i] = static_cast<std::uint16_t>(Count - 1 - i);
    }
    static constexpr std::size_t kBytes = Bytes;
    bool Holds(const void* p) const {
        const auto* c = static_cast<const unsigned char*>(p);
        return c >= bytes && c < bytes + sizeof bytes;
    }
    void* Take() {
        std::lock_guard<std::mutex> g(mu);
        if (freeCount == 0) return nullptr;
        ++served;
        return bytes + static_cast<std::size_t>(free[--freeCount]) * Bytes;
    }
    void Give(void* p) {
        const auto i = static_cast<std::size_t>(static_cast<unsigned char*>(p) - bytes) / Bytes;
        std::lock_guard<std::mutex> g(mu);
        free[freeCount++] = static_cast<std::uint16_t>(i);
    }
    std::size_t Taken() {
        std::lock_guard<std::mutex> g(mu);
        return Count - freeCount;
    }
};

using Small = Slots<8192, kOsipSmallSlots>;
using Large = Slots<16384, kOsipLargeSlots>;
// One mapping each (its pages come in as they are used), never released:
// osip may free from other static destructors.
Small& SmallSlots() {
    static Small* s = new (std::malloc(sizeof(Small))) Small;
    return *s;
}
Large& LargeSlots() {
    static Large* s = new (std::malloc(sizeof(Large))) Large;
    return *s;
}

} // namespace

void* OsipBlockAlloc(std::size_t n) {
    void* p = nullptr;
    if (n > kSmallest && n <= Small::kBytes) p = SmallSlots().Take();
    else if (n > Small::kBytes && n <= Large::kBytes) p = LargeSlots().Take();
    return p ? p : std::malloc(n);
}

void OsipBlockFree(void* p) {
    if (!p) return;
    if (SmallSlots().Holds(p)) SmallSlots().Give(p);
    else if (LargeSlots().Holds(p)) LargeSlots().Give(p);
    else std::free(p);
}

void* OsipBlockRealloc(void* p, std::size_t n) {
    std::size_t have = 0;
    if (p && SmallSlots().Holds(p)) have = Small::kBytes;
    else if (p && LargeSlots().Holds(p)) have = Large::kBytes;
    if (!have) return std::realloc(p, n);
    if (n <= have) return p;
    void* q = std::malloc(n);
    if (!q) return nullptr; // p stays valid, as with realloc
    std::memcpy(q, p, have);
    OsipBlockFree(p);
    return q;
}

// Under AddressSanitizer osip keeps the plain allocator, so that overreads of
// its blocks are still caught (GCC says so by a macro, clang by a feature).
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TARVEX_OSIP_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define TARVEX_OSIP_ASAN 1
#endif

void InstallOsipBlocks() {
#if !defined(TARVEX_OSIP_ASAN)
    static std::once_flag once;
    std::call_once(once, [] {
        SmallSlots();
        LargeSlots();
        osip_set_allocators(&OsipBlockAlloc, &OsipBlockRealloc, &OsipBlockFree);
    });
#endif
}

OsipBlockCounts OsipBlocksNow() {
    OsipBlockCounts n;
    n.taken = SmallSlots().Taken() + LargeSlots().Taken();
    {
        std::lock_guard<std::mutex> g(SmallSlots().mu);
        n.served += SmallSlots().served;
    }
    std::lock_guard<std::mutex> g(LargeSlots().mu);
    n.served += LargeSlots().served;
    return n;
}

} // namespace sipua

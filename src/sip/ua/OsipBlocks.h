#pragma once
// libosip2's large blocks served from slots of our own. A transaction is one
// 15 KB block and a serialisation starts from an 8 KB buffer: each such
// request reaching the C library made it first merge every small block freed
// since the last one (malloc_consolidate), a sixth of the program's CPU under
// a keepalive flood. Requests of those sizes take a free slot (kOsipSmallSlots
// of 8 KB, kOsipLargeSlots of 16 KB, 4.5 MB of address space paged in as
// used); with every slot taken, and for any other size, the C library
// serves as before. osip frees and reallocates everything through these
// functions, so that a slot never reaches free().

#include <cstddef>

namespace sipua {

inline constexpr std::size_t kOsipSmallSlots = 64;  // 8 KB each: serialisation buffers
inline constexpr std::size_t kOsipLargeSlots = 256; // 16 KB each: transactions

// Installs the allocator into libosip2 (once per process; later calls do nothing).
// Not under AddressSanitizer, which is to see every block.
void InstallOsipBlocks();

// Slots taken now, and the requests they served since the start.
struct OsipBlockCounts {
    std::size_t taken = 0;
    unsigned long long served = 0;
};
OsipBlockCounts OsipBlocksNow();

// What InstallOsipBlocks installs.
void* OsipBlockAlloc(std::size_t n);
void* OsipBlockRealloc(void* p, std::size_t n);
void OsipBlockFree(void* p);

} // namespace sipua

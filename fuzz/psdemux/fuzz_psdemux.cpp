// libFuzzer entry point: one frame of program stream through CHbPSDemux.
#include "media/recv/CHbPSDemux.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 24)) return 0;
    // Exact-size copies so that the sanitizer sees any read or write past them.
    std::vector<uint8_t> in(data, data + size);
    std::vector<uint8_t> out(size);
    CHbPSDemux d;
    int32_t n = d.Demux(in.data(), static_cast<int32_t>(in.size()), out.data());
    if (n < 0 || static_cast<size_t>(n) > size) std::abort();
    return 0;
}

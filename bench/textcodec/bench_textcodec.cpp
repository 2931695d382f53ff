// Decodes a body declared GB2312 made of bad bytes (none starts a GB18030
// character) against one of valid two-byte GBK characters of the same length,
// at growing sizes, in the same run. Each bad byte costs an iconv restart, so
// bad bytes are dearer per byte; what matters is that the ratio stays flat as
// the size grows (it grew with the size while the decoder was quadratic).
//
//   bench_textcodec [largest size in bytes]      (default 4 MiB)

#include "base/TextCodec.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

const std::string kDecl = "<?xml version=\"1.0\" encoding=\"GB2312\"?>";

// The best of a few runs, in nanoseconds per input byte.
double NsPerByte(const std::string& body) {
    double best = 1e30;
    std::size_t sink = 0;
    for (int i = 0; i < 3; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        sink += TextCodec::BodyToUtf8(body).size();
        const auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double, std::nano>(t1 - t0).count());
    }
    if (sink == 0) std::abort();
    return best / static_cast<double>(body.size());
}

} // namespace

int main(int argc, char** argv) {
    const std::size_t largest = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : (4u << 20);
    std::printf("%10s %14s %14s %8s\n", "bytes", "bad ns/byte", "GBK ns/byte", "ratio");
    double first = 0, last = 0;
    for (std::size_t n = 64 * 1024; n <= largest; n *= 4) {
        std::string bad = kDecl + std::string(n, '\xFF');
        std::string good = kDecl;
        while (good.size() < bad.size()) good += "\xBA\xC5"; // 号
        const double b = NsPerByte(bad), g = NsPerByte(good);
        const double ratio = b / g;
        if (first == 0) first = ratio;
        last = ratio;
        std::printf("%10zu %14.2f %14.2f %8.2f\n", n, b, g, ratio);
    }
    std::printf("ratio growth from the smallest to the largest size: %.2f (linear: about 1)\n",
                last / first);
    return 0;
}

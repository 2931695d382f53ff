#include "base/Diag.h"

#include "base/TextCodec.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tarvex {
namespace {

// -1 not yet decided (the environment is read at the first question).
std::atomic<int> g_verbose{-1};

void Line(const char* text) {
    const std::size_t n = std::strlen(text);
    // One write per line so that lines of several threads do not mix.
    std::fprintf(stderr, n && text[n - 1] == '\n' ? "tarvex: %s" : "tarvex: %s\n", text);
}

} // namespace

bool Verbose() {
    int v = g_verbose.load(std::memory_order_relaxed);
    if (v < 0) {
        const char* e = std::getenv("TARVEX_DEBUG");
        v = e && std::strcmp(e, "1") == 0 ? 1 : 0;
        int expected = -1;
        if (!g_verbose.compare_exchange_strong(expected, v)) v = expected;
    }
    return v == 1;
}

void SetVerbose(bool on) { g_verbose.store(on ? 1 : 0); }

void Diag(const char* format, ...) {
    if (!Verbose()) return;
    char buf[2048];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    Line(buf);
}

void DiagGbk(const std::string& prefix, const std::string& gbk) {
    if (!Verbose()) return;
    Line((prefix + TextCodec::GbkToUtf8(gbk)).c_str());
}

} // namespace tarvex

// tarvex-recv: receives a device's RTP program stream without the window and
// writes the demultiplexed video elementary stream (H.264 or H.265) to a file.

#include "base/Version.h"
#include "media/recv/CRTPSession.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

namespace {

volatile std::sig_atomic_t g_stop = 0;
void onSignal(int) {
    g_stop = 1;
}

struct Capture {
    std::FILE* out = nullptr;
    long long frameLimit = -1;
    std::atomic<long long> frames{0};
    std::atomic<long long> empty{0};
    std::atomic<long long> bytes{0};
    std::atomic<bool> writeFailed{false};
    std::atomic<bool> done{false};
};

void onFrame(void* user, unsigned char* frame, int32_t length) {
    auto* c = static_cast<Capture*>(user);
    if (c->done) return;
    if (length > 0 &&
        std::fwrite(frame, 1, static_cast<size_t>(length), c->out) != static_cast<size_t>(length))
        c->writeFailed = true;
    if (length == 0) ++c->empty;
    c->bytes += length > 0 ? length : 0;
    if (++c->frames == c->frameLimit) c->done = true;
}

const char kUsage[] =
    "Usage: tarvex-recv --port P --out FILE [OPTION]...\n"
    "Receive a device's RTP stream (an MPEG program stream, as after an INVITE)\n"
    "and write the video elementary stream it carries (H.264 or H.265) to FILE.\n"
    "It stops at the first of --seconds, --frames, SIGINT or SIGTERM. Once a second\n"
    "a line on standard error gives frames, bytes and rates; the last one,\n"
    "\"tarvex-recv total\", sums them up. The frame of the stream's last RTP\n"
    "timestamp is never delivered: a frame is complete when the next one starts.\n"
    "\n"
    "Exit status: 0 when it ran, 1 when a port cannot be opened, a connection\n"
    "cannot be made or FILE cannot be written, 2 for a wrong command line.\n"
    "\n"
    "Options:\n"
    "  --port P           the receiver port offered to the device in the SDP\n"
    "  --out FILE         the elementary stream written\n"
    "  --transport 0|1|2  0: UDP, RTP on P and RTCP on P+1, P even (the default);\n"
    "                     1: TCP, connect from local port P to ADDRESS at port P+2;\n"
    "                     2: TCP, listen on port P\n"
    "  --peer ADDRESS     the device's IPv4 address (needed for transport 1;\n"
    "                     default 127.0.0.1)\n"
    "  --seconds N        stop after N seconds\n"
    "  --frames N         stop after N delivered frames\n"
    "  -h, --help         print this help and exit\n"
    "  --version          print the version and exit\n";

// Wrong usage: the reason and the usage on standard error, status 2.
int usageError(const char* reason, const char* what = "") {
    std::fprintf(stderr, "tarvex-recv: %s%s\n", reason, what);
    std::fputs(kUsage, stderr);
    return 2;
}

bool number(const char* s, long long lo, long long hi, long long& v) {
    if (!s || !*s) return false;
    char* end = nullptr;
    errno = 0;
    v = std::strtoll(s, &end, 10);
    return errno == 0 && *end == 0 && v >= lo && v <= hi;
}

void line(const char* what, const Capture& c, double secs, long long frames0, long long bytes0,
          double span) {
    long long f = c.frames, b = c.bytes;
    double fps = span > 0 ? (f - frames0) / span : 0;
    double kbit = span > 0 ? (b - bytes0) * 8.0 / 1000.0 / span : 0;
    std::fprintf(stderr,
                 "%s %.1fs: frames %lld, empty %lld, bytes %lld, %.1f frames/s, %.1f kbit/s\n",
                 what, secs, f, c.empty.load(), b, fps, kbit);
}

const char* codecName(uint8_t streamType) {
    switch (streamType) {
    case CRTPSession::kStreamTypeH264:
        return "H.264";
    case CRTPSession::kStreamTypeH265:
        return "H.265";
    default:
        return "unknown";
    }
}

} // namespace

int main(int argc, char** argv) {
    long long port = -1, transport = 0, seconds = -1, frames = -1;
    const char* peer = nullptr;
    const char* outPath = nullptr;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        bool ok = true;
        if (a == "--port")
            ok = number(v, 1, 65535, port);
        else if (a == "--transport")
            ok = number(v, 0, 2, transport);
        else if (a == "--seconds")
            ok = number(v, 1, 1LL << 31, seconds);
        else if (a == "--frames")
            ok = number(v, 1, 1LL << 62, frames);
        else if (a == "--peer")
            ok = v != nullptr, peer = v;
        else if (a == "--out")
            ok = v != nullptr, outPath = v;
        else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("tarvex-recv %s\n", TARVEX_VERSION);
            return 0;
        } else
            return usageError("unknown argument ", a.c_str());
        if (!ok) return usageError("bad or missing value for ", a.c_str());
        ++i;
    }
    if (port < 0 || !outPath) return usageError("--port and --out are required");
    if (transport == 0 && port % 2 != 0) {
        std::fprintf(stderr, "tarvex-recv: the UDP port must be even (RTCP uses port + 1)\n");
        return 2;
    }
    if (transport == 1 && !peer) {
        std::fprintf(stderr, "tarvex-recv: transport 1 needs --peer ADDRESS\n");
        return 2;
    }
    if (!peer) peer = "127.0.0.1";

    Capture cap;
    cap.frameLimit = frames;
    cap.out = std::fopen(outPath, "wb");
    if (!cap.out) {
        std::fprintf(stderr, "tarvex-recv: cannot create %s: %s\n", outPath, std::strerror(errno));
        return 1;
    }

    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    auto session = std::make_unique<CRTPSession>();
    session->SetFrameCallback(&onFrame, &cap);
    int32_t st = session->RTP_Setup(static_cast<uint16_t>(port), static_cast<int32_t>(transport),
                                    peer, 90000);
    if (st < 0 || !session->TransportReady()) {
        if (transport == 1)
            std::fprintf(stderr, "tarvex-recv: cannot connect from port %lld to %s:%lld\n", port,
                         peer, port + 2);
        else
            std::fprintf(stderr, "tarvex-recv: cannot open port %lld\n", port);
        session->SetFrameCallback(nullptr, nullptr);
        session.reset();
        std::fclose(cap.out);
        return 1;
    }
    std::fprintf(stderr, "tarvex-recv: receiving on port %lld, transport %lld\n", port, transport);

    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    auto lastLine = start;
    long long f0 = 0, b0 = 0;
    uint8_t streamType = 0;
    auto noteCodec = [&] {
        const uint8_t t = session->VideoStreamType();
        if (t == streamType) return;
        streamType = t;
        std::fprintf(stderr, "tarvex-recv: video %s (stream type 0x%02X)\n", codecName(t), t);
    };
    while (!g_stop && !cap.done) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        noteCodec();
        auto now = Clock::now();
        double secs = std::chrono::duration<double>(now - start).count();
        if (seconds > 0 && secs >= static_cast<double>(seconds)) break;
        double span = std::chrono::duration<double>(now - lastLine).count();
        if (span >= 1.0) {
            line("tarvex-recv", cap, secs, f0, b0, span);
            f0 = cap.frames;
            b0 = cap.bytes;
            lastLine = now;
        }
    }
    session->SetFrameCallback(nullptr, nullptr);
    session->RTP_Teardown();
    noteCodec();
    session.reset(); // joins the receive thread: no frame is written after this
    double secs = std::chrono::duration<double>(Clock::now() - start).count();
    line("tarvex-recv total", cap, secs, 0, 0, secs);
    bool ok = std::fclose(cap.out) == 0 && !cap.writeFailed;
    if (!ok) {
        std::fprintf(stderr, "tarvex-recv: writing %s failed\n", outPath);
        return 1;
    }
    return 0;
}

// The live path end to end: a camera process (camsim) streams a 1080p 25 fps
// 4 Mbit/s H.264 program stream over loopback UDP, one burst of packets per
// picture, paced in real time; this process receives it with CRTPSession and
// decodes, converts and presents every frame through CVidana into a surface
// that copies each picture, as the window's view does.
//
// Prints the latency from the last RTP packet of a picture to its
// presentation, split into the frame period spent by design waiting for the
// next timestamp and the rest; and the CPU this process used (receive,
// demultiplex, decode, convert, present) as a share of one core over the
// wall time of the stream. Usage: bench_live [--seconds N] [--port P]
#include "media/recv/CRTPSession.h"
#include "vidana/lib/Vidana.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Now() {
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Copies each picture, as the window's view does, and notes when it came.
class RecordingSurface : public IVidanaSurface {
public:
    VidanaSize ClientSize() const override { return {1920, 1080}; }
    void Present(const uint8_t* bgr, int32_t width, int32_t height) override {
        copy.assign(bgr, bgr + size_t(width) * height * 3);
        std::lock_guard<std::mutex> l(lock);
        presented.push_back(Now());
    }
    std::vector<uint8_t> copy;
    std::mutex lock;
    std::vector<double> presented;
};

struct Viewer {
    CVidana vidana;
    RecordingSurface surface;
    CRTPSession* session = nullptr;
    std::atomic<int> frames{0};
    static void OnFrame(void* user, unsigned char* frame, int32_t length) {
        auto* v = static_cast<Viewer*>(user);
        if (length <= 0) return;
        ++v->frames;
        v->vidana.SetRect(VidanaRect{});
        v->vidana.DecodeXFrame(frame, length, VidanaFrameTypeOf(v->session->VideoStreamType()));
    }
};

double Percentile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(q * double(v.size())))];
}

} // namespace

int main(int argc, char** argv) {
    int seconds = 20, port = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--seconds")) seconds = std::max(2, std::atoi(argv[i + 1]));
        if (!std::strcmp(argv[i], "--port")) port = std::atoi(argv[i + 1]);
    }
    if (port <= 0) port = 40000 + 2 * (getpid() % 5000);
    const std::string dir = "/tmp/bench-live-" + std::to_string(getpid());
    const std::string es = dir + ".h264", times = dir + ".times";
    // A camera: no B-frames, a key frame every 2 s, 4 Mbit/s.
    const std::string make =
        "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1920x1080:rate=25 -t " +
        std::to_string(seconds) +
        " -c:v libx264 -preset veryfast -bf 0 -g 50 -b:v 4M -maxrate 4M -bufsize 2M -f h264 " + es;
    if (std::system(make.c_str()) != 0) {
        std::fprintf(stderr, "bench_live: ffmpeg could not make the stream\n");
        return 1;
    }

    Viewer viewer;
    CRTPSession session;
    viewer.session = &session;
    session.SetLocalAddress(0x7F000001);
    viewer.vidana.SetHWND(&viewer.surface);
    session.SetFrameCallback(&Viewer::OnFrame, &viewer);
    if (session.RTP_Setup(uint16_t(port), 0, "127.0.0.1", 90000) != 1) {
        std::fprintf(stderr, "bench_live: cannot receive on port %d\n", port);
        return 1;
    }
    const double cpu0 = CpuSeconds(), wall0 = Now();
    const std::string send = "/usr/bin/python3 " TARVEX_CAMSIM " --es " + es +
                             " --transport udp --port " + std::to_string(port) +
                             " --fps 25 --times " + times + " > /dev/null";
    const int rc = std::system(send.c_str());
    // The last picture is delivered only by a next timestamp, which never comes.
    const double wall = Now() - wall0, cpu = CpuSeconds() - cpu0;
    session.SetFrameCallback(nullptr, nullptr);
    session.RTP_Teardown();
    viewer.vidana.ReleaseDecoder();
    if (rc != 0) {
        std::fprintf(stderr, "bench_live: the camera failed\n");
        return 1;
    }
    std::vector<double> lastPacket;
    {
        std::ifstream f(times);
        int index;
        double t;
        while (f >> index >> t)
            lastPacket.push_back(t);
    }
    std::remove(es.c_str());
    std::remove(times.c_str());
    std::vector<double> total, afterNext;
    {
        std::lock_guard<std::mutex> l(viewer.surface.lock);
        // No B-frames: picture i is frame i, shown once frame i + 1 began.
        for (size_t i = 0; i < viewer.surface.presented.size() && i + 1 < lastPacket.size(); ++i) {
            total.push_back(viewer.surface.presented[i] - lastPacket[i]);
            // The next frame's first packet leaves right after this frame's
            // pause; its last packet time bounds it from above.
            afterNext.push_back(viewer.surface.presented[i] -
                                std::min(viewer.surface.presented[i], lastPacket[i + 1]));
        }
    }
    const double period = 0.040;
    std::printf("stream: 1920x1080 H.264 25 fps 4 Mbit/s over loopback UDP, %zu pictures sent, "
                "%d frames received, %zu presented\n",
                lastPacket.size(), viewer.frames.load(), total.size());
    std::printf("latency last packet -> presented: median %.1f ms, p95 %.1f ms, max %.1f ms\n",
                Percentile(total, 0.5) * 1e3, Percentile(total, 0.95) * 1e3,
                Percentile(total, 1.0) * 1e3);
    std::printf("  of which waiting for the next timestamp (by design): about one frame period, "
                "%.0f ms\n",
                period * 1e3);
    std::printf("  after the next picture's last packet was sent: median %.1f ms, p95 %.1f ms\n",
                Percentile(afterNext, 0.5) * 1e3, Percentile(afterNext, 0.95) * 1e3);
    std::printf("CPU of receive + demultiplex + decode + convert + present: %.2f s in %.2f s = "
                "%.1f %% of one core (target < 15 %%)\n",
                cpu, wall, 100.0 * cpu / wall);
    return 0;
}

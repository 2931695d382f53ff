// The real program in a long run: build/tarvex offscreen in a scratch working
// folder, its operator script opening the live view of a tarvex-camera device
// (a paced H.264 program stream over RTP/UDP), and a second device, registered
// by SIPp, sending keepalives at `rate` a second. The program's resident memory
// and open descriptors are sampled every 10 s.
//
//   bench_soak [--seconds S] [--rate R]        (default 600 s, 200 a second)
//
// The message log keeps every keepalive and its 200 for the workbook at exit,
// so memory grows with it by design. The rows' own bytes (head and body) are
// read back from the workbook at the end and set against the keepalives sent
// by each sample; the growth is printed with and without them. What remains
// per keepalive is the log's bookkeeping of its two rows (the row records,
// allocation headers, the list's row count) plus anything else that grows.
// Target: flat after the first minute (once the first SIP transactions have
// expired) apart from the log's rows; descriptors flat.

#include "Harness.h"
#include "media/MediaTestUtil.h"

#include <dirent.h>

#include <cstdio>
#include <cstring>
#include <regex>

using namespace systest;

namespace {

const char* kCamera = "34020000001320000001";
const char* kChannel = "34020000001310000101"; // tarvex-camera's first channel
const char* kKeeper = "34020000001320000002";

int OpenFds(pid_t pid) {
    DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!d) return 0;
    int n = 0;
    while (const dirent* e = readdir(d))
        n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

// Decoded and lost frames from a dump's statistics line (1090).
std::pair<long, long> Frames(const std::string& dump) {
    static const std::regex re("1090 解码 (\\d+)帧 丢 (\\d+)帧");
    std::smatch m;
    if (!std::regex_search(dump, m, re)) return {-1, -1};
    return {std::stol(m[1]), std::stol(m[2])};
}

bool WaitFile(const std::string& path, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 100) {
        if (access(path.c_str(), F_OK) == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

struct Sample {
    double t;  // seconds since the keepalives began
    long rss;  // KB
    int fds;
    long keepalives; // sent by then, at the nominal rate
};

long FinalCount(const std::string& out, const char* what) {
    const std::size_t p = out.rfind(what);
    if (p == std::string::npos) return -1;
    const std::size_t bar = out.find('|', out.find('|', p) + 1);
    return std::atol(out.c_str() + bar + 1);
}

} // namespace

int main(int argc, char** argv) {
    int seconds = 600, rate = 200;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--seconds")) seconds = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--rate")) rate = std::atoi(argv[i + 1]);
        else {
            std::fprintf(stderr, "usage: bench_soak [--seconds S] [--rate R]\n");
            return 2;
        }
    }
    if (seconds < 20 || rate < 1) {
        std::fprintf(stderr, "bench_soak: --seconds at least 20, --rate at least 1\n");
        return 2;
    }

    TempDir dir;
    const int sipPort = FreePort(SOCK_DGRAM);
    const int mediaPort = mt::FreePortBase();
    WriteFile(dir.File("config.ini"), MediaConfig(sipPort, 0, mediaPort));
    // The script sleeps past the sampling; the bench ends the program itself.
    WriteFile(dir.File("run.txt"), "wait-registered 60000\n"
                                   "wait-log \"<DeviceList\" 60000\n"
                                   "tree " + std::string(kChannel) + "\n"
                                   "click 1081 0\n"
                                   "wait-text 1090 帧率 60000\n"
                                   "dump start.txt\n"
                                   "sleep " + std::to_string((seconds + 60) * 1000) + "\n"
                                   "dump end.txt\n");
    Program program(dir.Path(), {"--script", "run.txt"});
    if (!program.WaitOut("SIP endpoint start transport") || !WaitPortBound(sipPort, false)) {
        std::fprintf(stderr, "bench_soak: the program did not start:\n%s", program.Out().c_str());
        return 1;
    }
    const pid_t pid = program.Pid();
    const long rssStarted = ProcRssKb(pid);
    Program camera(dir.Path(),
                   {"--server", "127.0.0.1:" + std::to_string(sipPort), "--local-ip", "127.0.0.1",
                    "--id", kCamera, "--quiet"},
                   TARVEX_BINARY_DIR "/tools/tarvex-camera/tarvex-camera", {}, dir.File("camera.out"));
    if (!WaitFile(dir.File("start.txt"), 180000)) {
        std::fprintf(stderr, "bench_soak: no live picture:\n%s\n---- camera:\n%s", program.Out().c_str(),
                     ReadFile(dir.File("camera.out")).c_str());
        return 1;
    }
    const std::string startDump = ReadFile(dir.File("start.txt"));

    // The second device registers (its catalog query goes unanswered), then keeps alive.
    DeviceScript reg;
    reg.deviceId = kKeeper;
    reg.holdMs = 0;
    WriteFile(dir.File("reg.xml"), MainScenario(reg));
    {
        SippProcess sipp;
        sipp.Start({"127.0.0.1:" + std::to_string(sipPort), "-sf", dir.File("reg.xml"), "-i", "127.0.0.1", "-m",
                    "1", "-nostdin", "-timeout", "30s"},
                   dir.File("reg.out"));
        if (sipp.Wait(40000) != 0) {
            std::fprintf(stderr, "bench_soak: the keepalive device did not register:\n%s",
                         ReadFile(dir.File("reg.out")).c_str());
            return 1;
        }
    }
    WriteFile(dir.File("ka.xml"), KeepaliveScenario(kKeeper));
    const long total = static_cast<long>(seconds) * rate;
    SippProcess keepalives;
    keepalives.Start({"127.0.0.1:" + std::to_string(sipPort), "-sf", dir.File("ka.xml"), "-i", "127.0.0.1", "-m",
                      std::to_string(total), "-r", std::to_string(rate), "-l", "100000", "-nostdin", "-timeout",
                      std::to_string(seconds + 300) + "s", "-recv_timeout", "20000"},
                     dir.File("ka.out"));
    const auto t0 = std::chrono::steady_clock::now();

    std::vector<Sample> samples;
    for (int k = 0; k * 10 <= seconds; ++k) {
        std::this_thread::sleep_until(t0 + std::chrono::seconds(k * 10));
        const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        samples.push_back({t, ProcRssKb(pid), OpenFds(pid), std::min<long>(total, static_cast<long>(t * rate))});
        std::printf("t %4.0f s  RSS %7ld KB  descriptors %3d  keepalives %7ld\n", t, samples.back().rss,
                    samples.back().fds, samples.back().keepalives);
        std::fflush(stdout);
    }
    const int kaRc = keepalives.Wait(300000);
    const std::string kaOut = ReadFile(dir.File("ka.out"));
    const bool endDumped = WaitFile(dir.File("end.txt"), 120000);
    const std::string endDump = ReadFile(dir.File("end.txt"));
    camera.Signal(SIGTERM);
    camera.Wait(20000);
    program.Signal(SIGTERM);
    const int rc = program.Wait(300000);

    // The rows' own bytes, from the workbook the program wrote at exit.
    const auto rows = ReadWorkbook(dir);
    const long sent = FinalCount(kaOut, "Successful call");
    double rowBytes = 0;
    for (const auto& row : rows)
        rowBytes += static_cast<double>(row.body.size() + row.head.size());
    const double perKeepalive = sent > 0 ? rowBytes / static_cast<double>(sent) : 0;
    const double rowsPerKeepalive = sent > 0 ? static_cast<double>(rows.size()) / static_cast<double>(sent) : 0;
    std::printf("\nworkbook: %zu rows, %.0f bytes of heads and bodies: %.0f bytes per keepalive sent\n",
                rows.size(), rowBytes, perKeepalive);

    auto logKb = [&](const Sample& s) { return static_cast<double>(s.keepalives) * perKeepalive / 1024; };
    const Sample& a = samples.front();
    const Sample& m = samples[std::min<std::size_t>(6, samples.size() - 1)];
    const Sample& z = samples.back();
    const double minutes = (z.t - m.t) / 60;
    std::printf("program started: RSS %ld KB (before the camera registered)\n", rssStarted);
    std::printf("%-9s %10s %15s %15s %5s\n", "", "RSS KB", "rows' bytes KB", "RSS - rows KB", "fds");
    for (const auto& [name, s] : {std::pair<const char*, const Sample*>{"start", &a}, {"1 min", &m}, {"end", &z}})
        std::printf("%-9s %10ld %15.0f %15.0f %5d\n", name, s->rss, logKb(*s), s->rss - logKb(*s), s->fds);
    if (minutes > 0) {
        const double rest = ((z.rss - logKb(z)) - (m.rss - logKb(m))) / minutes;
        const double perMinute = static_cast<double>(z.keepalives - m.keepalives) / minutes;
        std::printf("growth per minute after the first: RSS %.0f KB, of it the rows' bytes %.0f KB, the rest %.0f KB "
                    "(%.0f bytes per keepalive, %.0f per row); descriptors %+.2f\n",
                    (z.rss - m.rss) / minutes, (logKb(z) - logKb(m)) / minutes, rest,
                    perMinute > 0 ? rest * 1024 / perMinute : 0.0, perMinute > 0 && rowsPerKeepalive > 0 ? rest * 1024 / perMinute / rowsPerKeepalive : 0.0,
                    (z.fds - m.fds) / minutes);
    }
    const auto f0 = Frames(startDump), f1 = Frames(endDump);
    std::printf("live view: %ld frames decoded at the start of sampling, %ld at the end (%s), %ld lost\n",
                f0.first, f1.first, endDumped ? "dumped" : "NO end dump", f1.second);
    std::printf("keepalives: %ld successful, %ld failed of %ld (SIPp exit %d); program exit %d\n", sent,
                FinalCount(kaOut, "Failed call"), total, kaRc, rc);
    return rc == 0 && kaRc == 0 && endDumped ? 0 : 1;
}

// bench_camera: N simulated devices (tarvex-camera --devices N) register with
// the real program at once over UDP. Measured: the time from the cameras'
// start until the last device has answered its DeviceStatus query (the end
// of its Catalog, DeviceInfo, DeviceStatus chain), how many chains ended
// within the ceiling, the program's CPU time and peak memory, the
// transactions that timed out on the devices' side, and whether every
// device's channels are in the program's device tree. The same run with one
// device is the reference the figures are set against.
//
//   bench_camera [--devices N] [--ceiling SECONDS] [--program PATH-TO-TARVEX]

#include "sim/camera/Options.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
const std::string kBin = TARVEX_BINARY_DIR;
std::string g_program = kBin + "/tarvex";

std::string Read(const std::string& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

int FreeUdpPort() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

pid_t Spawn(const std::vector<std::string>& args, const std::string& dir, const std::string& out) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addchdir_np(&fa, dir.c_str());
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

int WaitPid(pid_t pid, double seconds) {
    auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        int st = 0;
        if (waitpid(pid, &st, WNOHANG) == pid) return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

// User plus system CPU seconds of a process.
double CpuSeconds(pid_t pid) {
    std::string s = Read("/proc/" + std::to_string(pid) + "/stat");
    auto close = s.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream in(s.substr(close + 2));
    std::string f;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> f; ++i) {
        if (i == 14) utime = std::stoull(f);
        if (i == 15) stime = std::stoull(f);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long PeakRssKiB(pid_t pid) {
    std::string s = Read("/proc/" + std::to_string(pid) + "/status");
    auto p = s.find("VmHWM:");
    return p == std::string::npos ? 0 : std::atol(s.c_str() + p + 6);
}

int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (auto p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

struct Result {
    int devices = 0;
    int registered = 0;
    int chains = 0;
    double lastChain = -1; // seconds from the cameras' start
    double cpu = 0;        // program CPU seconds over the same span
    double span = 0;
    long rssKiB = 0;
    int timeouts = 0;
    std::string tree; // result of the tree check
};

Result RunOnce(int devices, double ceiling) {
    Result r;
    r.devices = devices;
    std::string dir = (std::filesystem::temp_directory_path() / "tarvex-bench-camera-XXXXXX").string();
    if (!mkdtemp(dir.data())) return r;
    int port = FreeUdpPort();
    std::string cmd = "TARVEX_ADDRESS=127.0.0.1 bash " + std::string(TARVEX_SOURCE_DIR) +
                      "/scripts/make-config.sh " + dir + "/config.ini >/dev/null";
    if (std::system(cmd.c_str()) != 0) return r;
    std::string cfg = Read(dir + "/config.ini");
    const std::string key = "\xB6\xCB\xBF\xDA=5060";
    cfg.replace(cfg.find(key), key.size(), "\xB6\xCB\xBF\xDA=" + std::to_string(port));
    std::ofstream(dir + "/config.ini", std::ios::binary) << cfg;
    const std::string first = "34020000001320000001";
    const std::string sentinel = "34020000001329000001";
    std::ostringstream script;
    script << "wait-registered 600000\nwait-log " << sentinel << " 900000\n";
    for (int i = 0; i < devices; ++i) script << "tree " << tvsim::ChannelId(tvsim::NthId(first, i), 1) << "\n";
    script << "exit\n";
    std::ofstream(dir + "/bench.txt") << script.str();

    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    pid_t tarvex = Spawn({g_program, "--script", "bench.txt"}, dir, dir + "/tarvex.out");
    std::this_thread::sleep_for(std::chrono::seconds(2)); // the window and the SIP port come up
    double cpu0 = CpuSeconds(tarvex);
    auto t0 = Clock::now();
    const std::string camera = kBin + "/tools/tarvex-camera/tarvex-camera";
    pid_t cams = Spawn({camera, "--server", "127.0.0.1:" + std::to_string(port), "--local-ip",
                        "127.0.0.1", "--devices", std::to_string(devices), "--channels", "4"},
                       dir, dir + "/cameras.out");
    // Chains end when a device has answered its DeviceStatus query.
    for (;;) {
        std::string out = Read(dir + "/cameras.out");
        double t = std::chrono::duration<double>(Clock::now() - t0).count();
        std::set<std::string> seen;
        std::istringstream in(out);
        std::string line;
        while (std::getline(in, line))
            if (line.find(" Query DeviceStatus SN ") != std::string::npos && line.size() > 34) seen.insert(line.substr(13, 20));
        if (static_cast<int>(seen.size()) > r.chains) {
            r.chains = static_cast<int>(seen.size());
            r.lastChain = t;
        }
        if (r.chains >= devices || t > ceiling) break;
        r.rssKiB = std::max(r.rssKiB, PeakRssKiB(tarvex));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    r.span = std::chrono::duration<double>(Clock::now() - t0).count();
    r.cpu = CpuSeconds(tarvex) - cpu0;
    r.rssKiB = std::max(r.rssKiB, PeakRssKiB(tarvex));
    {
        // Registered devices, by their own lines (a killed process prints no summary).
        std::set<std::string> ids;
        std::istringstream in(Read(dir + "/cameras.out"));
        std::string line;
        while (std::getline(in, line))
            if (line.find(" registered with ") != std::string::npos && line.size() > 34) ids.insert(line.substr(13, 20));
        r.registered = static_cast<int>(ids.size());
        r.timeouts = Count(Read(dir + "/cameras.out"), "failed: no answer"); // registrations, keepalives, answers
    }
    // The devices leave without unregistering, so that what the program still
    // has queued drains; then a sentinel device lets the script check the tree.
    kill(cams, SIGKILL);
    WaitPid(cams, 30);
    pid_t last = Spawn({camera, "--server", "127.0.0.1:" + std::to_string(port), "--local-ip", "127.0.0.1",
                        "--id", sentinel},
                       dir, dir + "/sentinel.out");
    int st = WaitPid(tarvex, 120 + devices * 0.5);
    std::string tout = Read(dir + "/tarvex.out");
    auto failed = tout.find("FAILED: tree ");
    const std::string lastStep = "line " + std::to_string(devices + 3) + ": exit";
    if (failed != std::string::npos)
        r.tree = tout.substr(failed, tout.find('\n', failed) - failed);
    else if (st == 0 && tout.find(lastStep) != std::string::npos)
        r.tree = "every device's channels are in the tree";
    else
        r.tree = "the tree check did not finish (the program was still busy with its queue)";
    kill(last, SIGTERM);
    WaitPid(last, 30);
    if (!std::getenv("TARVEX_KEEP_TMP")) std::filesystem::remove_all(dir);
    else std::printf("kept %s\n", dir.c_str());
    return r;
}

void Print(const char* what, const Result& r) {
    std::printf("%s: %d devices, %d registered, %d chains done", what, r.devices, r.registered, r.chains);
    if (r.lastChain >= 0) std::printf(", last chain done after %.1f s", r.lastChain);
    std::printf("; program CPU %.1f s in %.1f s (%.0f %% of one core), peak memory %.1f MiB; "
                "%d transactions without answer on the devices' side; %s\n",
                r.cpu, r.span, r.span > 0 ? 100 * r.cpu / r.span : 0.0, r.rssKiB / 1024.0, r.timeouts,
                r.tree.c_str());
}

} // namespace

int main(int argc, char** argv) {
    int devices = 200;
    double ceiling = 180;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        if (a == "--devices") devices = std::atoi(argv[i + 1]);
        else if (a == "--ceiling") ceiling = std::atof(argv[i + 1]);
        else if (a == "--program") g_program = argv[i + 1];
    }
    if (devices < 1 || devices > 1000) {
        std::fprintf(stderr, "usage: bench_camera [--devices N] [--ceiling SECONDS] [--program PATH]\n");
        return 2;
    }
    Result ref = RunOnce(1, ceiling);
    Print("reference", ref);
    std::fflush(stdout);
    Result big = RunOnce(devices, ceiling);
    Print("load", big);
    std::fflush(stdout);
    if (ref.lastChain > 0 && big.lastChain > 0)
        std::printf("ratio: the last of the %d chains done ends %.1f times later than one device's "
                    "chain (target: all %d within 30 s)\n",
                    big.chains, big.lastChain / ref.lastChain, devices);
    bool ok = big.chains == devices && big.lastChain <= 30 && big.timeouts == 0;
    std::printf("target %s\n", ok ? "met" : "not met");
    return 0;
}

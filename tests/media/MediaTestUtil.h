#pragma once
// Helpers shared by the media tests: free loopback ports, child processes,
// files, ffmpeg-made fixtures and a small RTP packet builder.

#include "support/common/FfmpegStreams.h"
#include "support/common/Net.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace mt {

inline std::vector<uint8_t> ReadFile(const std::string& p) {
    std::ifstream f(p, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

inline void WriteFile(const std::string& p, const std::vector<uint8_t>& d) {
    std::ofstream f(p, std::ios::binary);
    f.write(reinterpret_cast<const char*>(d.data()), static_cast<std::streamsize>(d.size()));
}

inline std::string TempDir(const char* tag) {
    std::string t = std::string(TARVEX_BINARY_DIR) + "/media-test-" + tag + "-XXXXXX";
    std::vector<char> buf(t.begin(), t.end());
    buf.push_back(0);
    if (!mkdtemp(buf.data())) return "/tmp";
    return buf.data();
}

inline int Run(const std::string& cmd) {
    int r = std::system(cmd.c_str());
    return WIFEXITED(r) ? WEXITSTATUS(r) : -1;
}

inline std::string Capture(const std::string& cmd) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char b[4096];
    size_t n;
    while ((n = fread(b, 1, sizeof b, p)) > 0)
        out.append(b, n);
    pclose(p);
    return out;
}

// Whether a loopback port is free for the given socket type.
inline bool PortFree(int type, uint16_t port, const char* ip = "0.0.0.0") {
    int s = ::socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip, &a.sin_addr);
    bool ok = ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return ok;
}

// An even port P with P and P+1 free for UDP and P and P+2 free for TCP.
inline uint16_t FreePortBase() {
    const int p = FreeMediaPorts();
    return p > 0 ? static_cast<uint16_t>(p) : 0;
}

// A child process; killed when still running at destruction.
class Proc {
public:
    Proc(const std::vector<std::string>& argv, const std::string& out, const std::string& err) {
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<char*> av;
        for (auto& a : argv)
            av.push_back(const_cast<char*>(a.c_str()));
        av.push_back(nullptr);
        if (posix_spawn(&pid_, av[0], &fa, nullptr, av.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
    }
    ~Proc() {
        if (pid_ > 0 && status_ < 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Proc(const Proc&) = delete;
    Proc& operator=(const Proc&) = delete;
    // Exit status, or -1 when it did not end in time (then it is killed).
    int Wait(double seconds) {
        if (pid_ <= 0) return -1;
        if (status_ >= 0) return status_;
        auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < end) {
            int st;
            if (::waitpid(pid_, &st, WNOHANG) == pid_) {
                status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
                return status_;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }
    void Signal(int sig) {
        if (pid_ > 0 && status_ < 0) ::kill(pid_, sig);
    }
    pid_t Pid() const { return pid_; }
    // CPU seconds (user + system) the process has used so far; -1 when gone.
    double CpuSeconds() const {
        std::ifstream f("/proc/" + std::to_string(pid_) + "/stat");
        std::string stat((std::istreambuf_iterator<char>(f)), {});
        const auto close = stat.rfind(')');
        if (close == std::string::npos) return -1;
        std::vector<std::string> field;
        std::size_t i = close + 2;
        while (i < stat.size() && field.size() < 13) {
            std::size_t j = stat.find(' ', i);
            if (j == std::string::npos) j = stat.size();
            field.push_back(stat.substr(i, j - i));
            i = j + 1;
        }
        if (field.size() < 13) return -1;
        // Fields 14 and 15 of the line: utime and stime in clock ticks.
        const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
        return (std::atof(field[11].c_str()) + std::atof(field[12].c_str())) / ticks;
    }

private:
    pid_t pid_ = -1;
    int status_ = -1;
};

// RTP packet: fixed header, optional CSRC list, extension and padding.
struct RtpSpec {
    uint16_t seq = 0;
    uint32_t ts = 0;
    uint32_t ssrc = 0x11223344;
    uint8_t pt = 96;
    bool marker = false;
    int csrc = 0;
    int extWords = -1; // -1: no extension
    int padding = 0;
};

inline std::vector<uint8_t> MakeRtp(const RtpSpec& s, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> v;
    v.push_back(static_cast<uint8_t>(0x80 | (s.padding ? 0x20 : 0) | (s.extWords >= 0 ? 0x10 : 0) |
                                     (s.csrc & 0x0F)));
    v.push_back(static_cast<uint8_t>((s.marker ? 0x80 : 0) | (s.pt & 0x7F)));
    v.push_back(static_cast<uint8_t>(s.seq >> 8));
    v.push_back(static_cast<uint8_t>(s.seq));
    for (int k = 3; k >= 0; --k)
        v.push_back(static_cast<uint8_t>(s.ts >> (8 * k)));
    for (int k = 3; k >= 0; --k)
        v.push_back(static_cast<uint8_t>(s.ssrc >> (8 * k)));
    for (int c = 0; c < s.csrc; ++c)
        for (int k = 0; k < 4; ++k)
            v.push_back(static_cast<uint8_t>(0xC0 + c));
    if (s.extWords >= 0) {
        v.insert(v.end(), {0xBE, 0xDE, static_cast<uint8_t>(s.extWords >> 8),
                           static_cast<uint8_t>(s.extWords)});
        v.insert(v.end(), static_cast<std::size_t>(4 * s.extWords), 0xEE);
    }
    v.insert(v.end(), payload.begin(), payload.end());
    if (s.padding) {
        v.insert(v.end(), static_cast<std::size_t>(s.padding - 1), 0);
        v.push_back(static_cast<uint8_t>(s.padding));
    }
    return v;
}

inline int UdpSocket(uint16_t port, const char* ip = "127.0.0.1") {
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip, &a.sin_addr);
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(s);
        return -1;
    }
    return s;
}

inline void SendUdp(int s, uint16_t port, const std::vector<uint8_t>& d,
                    const char* ip = "127.0.0.1") {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip, &a.sin_addr);
    ::sendto(s, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
}

// Receives one datagram within timeoutMs; empty when none came.
inline std::vector<uint8_t> RecvUdp(int s, int timeoutMs) {
    pollfd p{s, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return {};
    std::vector<uint8_t> b(65536);
    ssize_t n = ::recv(s, b.data(), b.size(), 0);
    b.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return b;
}

// Packet types of an RTCP compound packet, in order.
inline std::vector<int> RtcpTypes(const std::vector<uint8_t>& d) {
    std::vector<int> t;
    std::size_t i = 0;
    while (i + 4 <= d.size()) {
        t.push_back(d[i + 1]);
        i += (static_cast<std::size_t>(d[i + 2] << 8 | d[i + 3]) + 1) * 4;
    }
    return t;
}

inline std::string SourceDir() {
    return TARVEX_SOURCE_DIR;
}
inline std::string Camsim() {
    return SourceDir() + "/tests/media/recv/camsim.py";
}

} // namespace mt

namespace mt {

// Makes an H.264 (or H.265) elementary stream with ffmpeg; returns its path
// or "" on failure.
inline std::string MakeH264(const std::string& dir, const std::string& name, const char* size,
                            double seconds, const char* extra = "",
                            TestCodec codec = TestCodec::H264) {
    std::string out = dir + "/" + name;
    std::string cmd = TestPatternCommand(codec, "size=" + std::string(size) + ":rate=25",
                                         "-t " + std::to_string(seconds),
                                         std::string("-g 25 -pix_fmt yuv420p ") + extra, out);
    return Run(cmd) == 0 ? out : "";
}

inline std::string MakeHevc(const std::string& dir, const std::string& name, const char* size,
                            double seconds, const char* extra = "") {
    return MakeH264(dir, name, size, seconds, extra, TestCodec::H265);
}

// Sizes of the access units ffmpeg's own parser finds in an elementary stream.
inline std::vector<long> PacketSizes(const std::string& path) {
    std::string s = Capture("ffprobe -v error -show_entries packet=size -of csv=p=0 " + path);
    std::vector<long> v;
    std::size_t i = 0;
    while (i < s.size()) {
        std::size_t j = s.find('\n', i);
        if (j == std::string::npos) j = s.size();
        if (j > i) v.push_back(std::atol(s.substr(i, j - i).c_str()));
        i = j + 1;
    }
    return v;
}

// Muxes an elementary stream into an MPEG-2 program stream with ffmpeg.
inline std::string MakePS(const std::string& es, const std::string& out) {
    return Run("ffmpeg -nostdin -hide_banner -loglevel error -y -i " + es + " -c copy -f vob " +
               out) == 0
               ? out
               : "";
}

// What ffmpeg extracts from a program stream as an H.264 (or, with format
// "hevc", H.265) elementary stream.
inline std::vector<uint8_t> ExtractES(const std::string& ps, const std::string& out,
                                      const std::string& format = "h264") {
    if (Run("ffmpeg -nostdin -hide_banner -loglevel error -y -i " + ps + " -c copy -f " + format +
            " " + out) != 0)
        return {};
    return ReadFile(out);
}

// Offsets of the pack headers of a program stream.
inline std::vector<std::size_t> PackStarts(const std::vector<uint8_t>& ps) {
    std::vector<std::size_t> v;
    for (std::size_t i = 0; i + 4 <= ps.size(); ++i)
        if (ps[i] == 0 && ps[i + 1] == 0 && ps[i + 2] == 1 && ps[i + 3] == 0xBA) v.push_back(i);
    return v;
}

} // namespace mt

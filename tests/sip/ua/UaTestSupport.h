#pragma once
// Helpers of the SIP user agent tests: free ports, a SIPp child process, an
// event collector, raw sockets.

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "sip/ua/SipAgent.h"
#include "support/common/Net.h"

namespace uatest {

inline std::string ScenarioDir() {
    return std::string(TARVEX_SOURCE_DIR) + "/tests/sip/ua/scenarios/";
}

// A port that was free for both UDP and TCP a moment ago, below the
// ephemeral range (see NextCandidatePort), and reserved for this process.
inline int FreePort() {
    for (int i = 0; i < 500; ++i) {
        const int port = NextCandidatePort();
        if (PortBindable(SOCK_DGRAM, port) && PortBindable(SOCK_STREAM, port) && ReservePort(port))
            return port;
    }
    return 0;
}

// Waits until something on this host has bound port (a TCP listener or a UDP
// socket), reading /proc so that the probe itself sends nothing.
inline bool WaitBound(int port, bool tcp, int timeoutMs = 5000) {
    char want[16];
    snprintf(want, sizeof want, ":%04X ", port);
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        FILE* f = fopen(tcp ? "/proc/net/tcp" : "/proc/net/udp", "r");
        char line[512];
        bool found = false;
        while (f && fgets(line, sizeof line, f)) {
            // "sl local_address rem_address st ...": local address is field 2.
            char local[64] = {}, st[8] = {};
            if (sscanf(line, "%*s %63s %*s %7s", local, st) == 2 &&
                strstr((std::string(local) + " ").c_str(), want) && (!tcp || strcmp(st, "0A") == 0))
                found = true;
        }
        if (f) fclose(f);
        if (found) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// One SIPp run in the background.
class Sipp {
public:
    explicit Sipp(std::vector<std::string> args) {
        std::string log = "/tmp/tarvex-sipp-" + std::to_string(getpid()) + "-" +
                          std::to_string(counter()++) + ".log";
        logPath_ = log;
        pid_ = fork();
        if (pid_ == 0) {
            int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
            }
            int null = open("/dev/null", O_RDONLY);
            if (null >= 0) dup2(null, 0);
            if (chdir("/tmp") != 0) _exit(126);
            std::vector<char*> argv;
            static std::string prog = "sipp";
            argv.push_back(prog.data());
            for (auto& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execvp("sipp", argv.data());
            _exit(127);
        }
    }
    ~Sipp() {
        if (pid_ > 0 && !done_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        unlink(logPath_.c_str());
    }
    // Exit code, or -1 when it had to be killed after timeoutMs.
    int Wait(int timeoutMs) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end) {
            int st = 0;
            pid_t r = waitpid(pid_, &st, WNOHANG);
            if (r == pid_) {
                done_ = true;
                return WIFEXITED(st) ? WEXITSTATUS(st) : -2;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        done_ = true;
        return -1;
    }
    std::string Log() const {
        std::string out;
        FILE* f = fopen(logPath_.c_str(), "r");
        if (!f) return out;
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0)
            out.append(buf, n);
        fclose(f);
        // The statistics screens are long; the end says what failed.
        return out.size() > 3000 ? out.substr(out.size() - 3000) : out;
    }

private:
    static int& counter() {
        static int c = 0;
        return c;
    }
    pid_t pid_ = -1;
    bool done_ = false;
    std::string logPath_;
};

// Standard SIPp arguments against the agent at port; transport "u1" or "t1".
inline std::vector<std::string> SippArgs(int agentPort, int sippPort, const std::string& scenario,
                                         const std::string& transport, int calls = 1) {
    return {"127.0.0.1:" + std::to_string(agentPort),
            "-sf",
            ScenarioDir() + scenario,
            "-i",
            "127.0.0.1",
            "-p",
            std::to_string(sippPort),
            "-t",
            transport,
            "-m",
            std::to_string(calls),
            "-timeout",
            "30s",
            "-timeout_error",
            "-nostdin"};
}

// Waits for the first event that pred accepts, keeping the others in seen.
inline sipua::EventPtr WaitFor(sipua::SipAgent& ua,
                               const std::function<bool(const sipua::Event&)>& pred, int timeoutMs,
                               std::vector<sipua::EventPtr>* seen = nullptr) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        sipua::EventPtr e = ua.WaitEvent(0, 50);
        if (!e) continue;
        if (pred(*e)) return e;
        if (seen) seen->push_back(std::move(e));
    }
    return nullptr;
}

inline std::function<bool(const sipua::Event&)> Kind(sipua::EventKind k) {
    return [k](const sipua::Event& e) { return e.kind == k; };
}

inline std::string Method(const osip_message_t* m) {
    return m && m->sip_method ? m->sip_method : "";
}

inline std::string HeaderValue(osip_message_t* m, const char* name) {
    osip_header_t* h = nullptr;
    if (m && osip_message_header_get_byname(m, name, 0, &h) >= 0 && h && h->hvalue)
        return h->hvalue;
    return "";
}

inline std::string ToText(osip_message_t* m) {
    char* s = nullptr;
    size_t n = 0;
    if (osip_message_to_str(m, &s, &n) != 0 || !s) return "";
    std::string out(s, n);
    osip_free(s);
    return out;
}

// A UDP socket on 127.0.0.1 with a receive timeout.
class RawUdp {
public:
    RawUdp() {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t l = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &l);
        port_ = ntohs(a.sin_port);
    }
    ~RawUdp() { close(fd_); }
    int Port() const { return port_; }
    void SendTo(int port, const std::string& data) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    // One datagram, or "" after timeoutMs.
    std::string Recv(int timeoutMs, int* fromPort = nullptr) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return "";
        char buf[65536];
        sockaddr_in a{};
        socklen_t l = sizeof a;
        long n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&a), &l);
        if (fromPort) *fromPort = ntohs(a.sin_port);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
    }

private:
    int fd_ = -1;
    int port_ = 0;
};

// The first datagram of the transaction whose CSeq line is cseq ("2 MESSAGE"),
// passing over retransmissions of earlier ones; "" after timeoutMs. Tests count
// transactions, not datagrams: under load a retransmission may come first.
inline std::string RecvCSeq(RawUdp& sock, const std::string& cseq, int timeoutMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        end - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) return "";
        std::string m = sock.Recv(static_cast<int>(left));
        if (m.find("\r\nCSeq: " + cseq + "\r\n") != std::string::npos) return m;
    }
}

// A plain REGISTER or MESSAGE from 127.0.0.1:port, as a device would send it.
inline std::string DeviceRequest(const std::string& method, int agentPort, int port,
                                 const std::string& callId, const std::string& branch,
                                 const std::string& body = "", const std::string& extra = "") {
    std::string m = method + " sip:34020000002000000001@127.0.0.1:" + std::to_string(agentPort) +
                    " SIP/2.0\r\n"
                    "Via: SIP/2.0/UDP 127.0.0.1:" +
                    std::to_string(port) + ";rport;branch=" + branch +
                    "\r\n"
                    "From: <sip:34010000001320000001@127.0.0.1:" +
                    std::to_string(port) +
                    ">;tag=dev1\r\n"
                    "To: <sip:34020000002000000001@127.0.0.1:" +
                    std::to_string(agentPort) +
                    ">\r\n"
                    "Call-ID: " +
                    callId +
                    "\r\n"
                    "CSeq: 1 " +
                    method +
                    "\r\n"
                    "Max-Forwards: 70\r\n" +
                    extra;
    if (!body.empty()) m += "Content-Type: Application/MANSCDP+xml\r\n";
    m += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    return m;
}

} // namespace uatest

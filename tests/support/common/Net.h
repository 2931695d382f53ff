#pragma once
// Loopback ports for tests that run side by side.

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <utility>

// A socket of type bound to a free port on 127.0.0.1; -1 on failure.
inline int LoopbackBound(int type) {
    int fd = socket(AF_INET, type, 0);
    if (fd < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// The local port of a bound socket, 0 when it has none.
inline int LocalPortOf(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    return getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0 ? ntohs(a.sin_port) : 0;
}

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>

// Whether port can be bound now, on 127.0.0.1 and on the wildcard address.
inline bool PortBindable(int type, int port) {
    for (uint32_t host : {INADDR_LOOPBACK, INADDR_ANY}) {
        const int fd = socket(AF_INET, type, 0);
        if (fd < 0) return false;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(host);
        a.sin_port = htons(static_cast<uint16_t>(port));
        const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(fd);
        if (!ok) return false;
    }
    return true;
}

// The next candidate port below the kernel's ephemeral range. A port that
// bind(0) hands out lies inside that range, where any process's outgoing
// connection (SIPp, a sender, another test) may take it between the check and
// the program's own bind; below it only explicit binds compete. The walk
// starts at a place of its own per process and moves on with every call.
inline int NextCandidatePort() {
    static const std::pair<int, int> range = [] {
        int lo = 32768, hi = 60999;
        if (FILE* f = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
            if (std::fscanf(f, "%d %d", &lo, &hi) != 2) lo = 32768;
            std::fclose(f);
        }
        return lo > 12000 ? std::make_pair(10000, lo) : std::make_pair(hi + 1, 65000);
    }();
    static std::atomic<unsigned> next{static_cast<unsigned>(getpid()) * 7919u +
                                      static_cast<unsigned>(std::time(nullptr))};
    const unsigned span = static_cast<unsigned>(range.second - range.first);
    return range.first + static_cast<int>((next.fetch_add(7) * 2654435761u) % span);
}

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

// Takes port for this process until it exits: an exclusive flock on a file
// per port under /tmp, shared by every test process. Checking that a port is
// bindable is not enough when tests run side by side: two processes may both
// see it free, and a UDP socket with SO_REUSEADDR may even share it and take
// the other's datagrams. The descriptor is left open on purpose; the kernel
// drops the lock when the process ends, however it ends.
inline bool ReservePort(int port) {
    static const char* dir = [] {
        const char* d = "/tmp/tarvex-test-ports";
        ::mkdir(d, 01777);
        ::chmod(d, 01777);
        return d;
    }();
    char path[64];
    std::snprintf(path, sizeof path, "%s/%d", dir, port);
    const int fd = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    return true;
}

// A port that was free a moment ago on 127.0.0.1 and the wildcard address,
// outside the ephemeral range, and reserved for this process. type is
// SOCK_DGRAM or SOCK_STREAM; -1 when none was found.
inline int FreePort(int type) {
    for (int tries = 0; tries < 500; ++tries) {
        const int port = NextCandidatePort();
        if (PortBindable(type, port) && ReservePort(port)) return port;
    }
    return -1;
}

// An even media receiver port p, free a moment ago for everything a live
// view may bind around it: UDP p (RTP) and p + 1 (RTCP), TCP p (a listening
// receiver) and p + 2 (where a device listens for TCP passive); p to p + 3
// are reserved for this process. -1 when none was found.
inline int FreeMediaPorts() {
    for (int tries = 0; tries < 500; ++tries) {
        const int p = NextCandidatePort() & ~3;
        if (PortBindable(SOCK_DGRAM, p) && PortBindable(SOCK_DGRAM, p + 1) &&
            PortBindable(SOCK_STREAM, p) && PortBindable(SOCK_STREAM, p + 2) &&
            ReservePort(p) && ReservePort(p + 1) && ReservePort(p + 2) && ReservePort(p + 3))
            return p;
    }
    return -1;
}

#include <thread>

// Waits until something on this host has bound port on 127.0.0.1 or any
// address (a TCP listener or a UDP socket), reading /proc so that the probe
// sends nothing. False after timeoutMs.
inline bool WaitPortBound(int port, bool tcp, int timeoutMs = 10000) {
    char want[16];
    std::snprintf(want, sizeof want, ":%04X ", port);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        FILE* f = std::fopen(tcp ? "/proc/net/tcp" : "/proc/net/udp", "r");
        char line[512];
        bool found = false;
        while (f && std::fgets(line, sizeof line, f))
            if (std::strstr(line, want) && (!tcp || std::strstr(line, " 0A "))) found = true;
        if (f) std::fclose(f);
        if (found) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// A UDP socket bound to a free port on 127.0.0.1 and connected to
// 127.0.0.1:port, as a device beside the program; -1 on failure.
inline int LoopbackUdpTo(int port) {
    const int fd = LoopbackBound(SOCK_DGRAM);
    if (fd < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

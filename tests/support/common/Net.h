#pragma once
// Loopback ports for tests that run side by side.

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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

// A port on 127.0.0.1 that was free a moment ago (bound with port 0, read
// back, closed). type is SOCK_DGRAM or SOCK_STREAM.
inline int FreePort(int type) {
    const int fd = LoopbackBound(type);
    if (fd < 0) return -1;
    const int port = LocalPortOf(fd);
    close(fd);
    return port > 0 ? port : -1;
}

// An even media receiver port p, free a moment ago for everything a live
// view may bind around it: UDP p (RTP) and p + 1 (RTCP), TCP p (a listening
// receiver) and p + 2 (where a device listens for TCP passive). -1 when none
// was found.
inline int FreeMediaPorts() {
    auto bindable = [](int type, int port) {
        const int fd = socket(AF_INET, type, 0);
        if (fd < 0) return false;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(fd);
        return ok;
    };
    for (int tries = 0; tries < 200; ++tries) {
        const int p = FreePort(SOCK_DGRAM) & ~1;
        if (p < 1024 || p > 65530) continue;
        if (bindable(SOCK_DGRAM, p) && bindable(SOCK_DGRAM, p + 1) && bindable(SOCK_STREAM, p) &&
            bindable(SOCK_STREAM, p + 2))
            return p;
    }
    return -1;
}

#include <chrono>
#include <cstdio>
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

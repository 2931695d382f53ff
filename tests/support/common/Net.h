#pragma once
// Loopback ports for tests that run side by side.

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// A port on 127.0.0.1 that was free a moment ago (bound with port 0, read
// back, closed). type is SOCK_DGRAM or SOCK_STREAM.
inline int FreePort(int type) {
    int fd = socket(AF_INET, type, 0);
    if (fd < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int port = -1;
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
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

// Latency of the voice path from the microphone to the device's socket.
//
// Captured buffers as the Recorder delivers them (2048 frames of 44.1 kHz
// stereo, one every 46.4 ms) go into a VoiceSender; a plain socket on the
// device's side notes when the first RTP packet made from each buffer
// arrives. The figure is the capture buffer's own length (its first sample
// waited that long for the buffer to fill) plus the measured hand-over to
// arrival. A bare loopback datagram, timed the same way, is the reference.
#include "media/audio/VoiceSender.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

constexpr int kFrames = 2048, kRate = 44100, kBuffers = 100;

int Bound(int type, uint16_t* port) {
    int fd = socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    *port = ntohs(a.sin_port);
    return fd;
}

// Waits for the next bytes on fd; true when some came within a second.
bool ReadSome(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 1000) <= 0) return false;
    char buf[4096];
    return recv(fd, buf, sizeof buf, 0) > 0;
}

void Drain(int fd) {
    char buf[4096];
    while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
}

struct Figures {
    double median = 0, p99 = 0;
};

Figures Of(std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    if (ms.empty()) return {};
    return {ms[ms.size() / 2], ms[std::min(ms.size() - 1, ms.size() * 99 / 100)]};
}

std::vector<int16_t> Buffer(int k) {
    std::vector<int16_t> s(2 * kFrames);
    for (int i = 0; i < kFrames; ++i)
        s[2 * i] = s[2 * i + 1] = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 1000.0 * (k * kFrames + i) / kRate));
    return s;
}

Figures Voice(bool tcp) {
    uint16_t port = 0;
    int peer = Bound(tcp ? SOCK_STREAM : SOCK_DGRAM, &port);
    if (tcp) listen(peer, 1);
    tvaudio::AudioOutConfig cfg;
    cfg.net.transport = tcp ? tvsend::MediaTransport::TcpConnect : tvsend::MediaTransport::Udp;
    cfg.net.localIp = cfg.net.remoteIp = "127.0.0.1";
    cfg.net.remotePort = port;
    tvaudio::VoiceSender s(cfg);
    std::string error;
    if (!s.Open(error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return {};
    }
    s.Start();
    int conn = tcp ? accept(peer, nullptr, nullptr) : peer;
    while (!s.Connected()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::vector<double> ms;
    auto next = Clock::now();
    for (int k = 0; k < kBuffers; ++k) {
        const auto b = Buffer(k);
        std::this_thread::sleep_until(next);
        Drain(conn);
        const auto t0 = Clock::now();
        s.PushPcm(b.data(), kFrames, kRate, 2);
        if (ReadSome(conn)) ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        next += std::chrono::microseconds(kFrames * 1000000LL / kRate);
    }
    s.Stop();
    if (tcp) close(conn);
    close(peer);
    return Of(ms);
}

Figures Bare() {
    uint16_t port = 0;
    int peer = Bound(SOCK_DGRAM, &port);
    uint16_t unused = 0;
    int tx = Bound(SOCK_DGRAM, &unused);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    std::vector<double> ms;
    char packet[172] = {};
    for (int k = 0; k < kBuffers; ++k) {
        const auto t0 = Clock::now();
        sendto(tx, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        if (ReadSome(peer)) ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    close(tx);
    close(peer);
    return Of(ms);
}

} // namespace

int main() {
    const double capture = 1000.0 * kFrames / kRate;
    const Figures bare = Bare();
    std::printf("bare loopback datagram: median %.3f ms, p99 %.3f ms\n", bare.median, bare.p99);
    for (bool tcp : {false, true}) {
        const Figures f = Voice(tcp);
        std::printf("microphone to the camera's socket over %s: capture buffer %.1f ms + hand-over "
                    "median %.3f ms (p99 %.3f ms) = %.1f ms (p99 %.1f ms); hand-over %.1fx the bare datagram\n",
                    tcp ? "TCP" : "UDP", capture, f.median, f.p99, capture + f.median, capture + f.p99,
                    bare.median > 0 ? f.median / bare.median : 0.0);
    }
    return 0;
}

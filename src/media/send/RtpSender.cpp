#include "media/send/RtpSender.h"

#include <utility>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <thread>

namespace tvsend {

namespace {

sockaddr_in MakeAddr(const std::string& ip, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (ip.empty() || inet_pton(AF_INET, ip.c_str(), &a.sin_addr) != 1) a.sin_addr.s_addr = INADDR_ANY;
    return a;
}

bool Bind(int fd, const std::string& ip, uint16_t port) {
    sockaddr_in a = MakeAddr(ip, port);
    return bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

uint16_t BoundPort(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
    return ntohs(a.sin_port);
}

std::string Errno(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

} // namespace

std::vector<std::vector<uint8_t>> Packetize(const std::vector<uint8_t>& pack, uint16_t& seq,
                                            uint32_t ts, uint32_t ssrc, uint8_t pt,
                                            std::size_t maxPayload) {
    std::vector<std::vector<uint8_t>> out;
    if (maxPayload == 0) maxPayload = 1400;
    std::size_t off = 0;
    while (off < pack.size()) {
        std::size_t n = std::min(maxPayload, pack.size() - off);
        bool last = off + n == pack.size();
        std::vector<uint8_t> p;
        p.reserve(12 + n);
        p.push_back(0x80);
        p.push_back(static_cast<uint8_t>((last ? 0x80 : 0) | (pt & 0x7F)));
        p.push_back(static_cast<uint8_t>(seq >> 8));
        p.push_back(static_cast<uint8_t>(seq));
        for (int k = 3; k >= 0; --k) p.push_back(static_cast<uint8_t>(ts >> (8 * k)));
        for (int k = 3; k >= 0; --k) p.push_back(static_cast<uint8_t>(ssrc >> (8 * k)));
        p.insert(p.end(), pack.begin() + static_cast<long>(off),
                 pack.begin() + static_cast<long>(off + n));
        out.push_back(std::move(p));
        ++seq;
        off += n;
    }
    return out;
}

std::vector<uint8_t> FrameForTcp(const std::vector<uint8_t>& packet, TcpFraming framing) {
    std::vector<uint8_t> f;
    f.reserve(packet.size() + 4);
    if (framing == TcpFraming::Dollar) {
        f.push_back('$');
        f.push_back(0); // interleaved channel 0: RTP
    }
    f.push_back(static_cast<uint8_t>(packet.size() >> 8));
    f.push_back(static_cast<uint8_t>(packet.size()));
    f.insert(f.end(), packet.begin(), packet.end());
    return f;
}

RtpSender::RtpSender(SenderConfig config) : cfg_(std::move(config)) {
    std::random_device rd;
    seq_ = static_cast<uint16_t>(rd());
}

bool RtpSender::Open(std::string& error) {
    if (cfg_.transport == MediaTransport::Udp) {
        // RTP on an even port, RTCP on the next one.
        for (int attempt = 0; attempt < 64; ++attempt) {
            UniqueSocket a(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
            UniqueSocket b(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
            if (!a.valid() || !b.valid()) {
                error = Errno("socket");
                return false;
            }
            uint16_t want = cfg_.localPort;
            if (!Bind(a.get(), cfg_.localIp, want)) {
                if (cfg_.localPort) {
                    error = Errno(("cannot bind UDP port " + std::to_string(want)).c_str());
                    return false;
                }
                continue;
            }
            uint16_t got = BoundPort(a.get());
            if (!cfg_.localPort && (got & 1)) continue;
            if (!Bind(b.get(), cfg_.localIp, static_cast<uint16_t>(got + 1))) {
                if (cfg_.localPort) {
                    error = Errno(("cannot bind UDP port " + std::to_string(got + 1)).c_str());
                    return false;
                }
                continue;
            }
            int buf = 1 << 20;
            setsockopt(a.get(), SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
            fcntl(b.get(), F_SETFL, O_NONBLOCK);
            rtp_ = std::move(a);
            rtcp_ = std::move(b);
            localPort_ = got;
            return true;
        }
        error = "no free even UDP port pair";
        return false;
    }
    if (cfg_.transport == MediaTransport::TcpListen) {
        UniqueSocket l(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        int one = 1;
        setsockopt(l.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (!l.valid() || !Bind(l.get(), cfg_.localIp, cfg_.localPort) || listen(l.get(), 4) != 0) {
            error = Errno(("cannot listen on TCP port " + std::to_string(cfg_.localPort)).c_str());
            return false;
        }
        localPort_ = BoundPort(l.get());
        listener_ = std::move(l);
        return true;
    }
    localPort_ = 0; // known once connected
    return true;
}

bool RtpSender::WaitConnected(std::chrono::milliseconds timeout, std::string& error) {
    if (cfg_.transport == MediaTransport::Udp) return rtp_.valid();
    if (rtp_.valid()) return true;
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!cancel_ && std::chrono::steady_clock::now() < end) {
        if (cfg_.transport == MediaTransport::TcpListen) {
            pollfd p{listener_.get(), POLLIN, 0};
            if (poll(&p, 1, 100) > 0) {
                int c = accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
                if (c >= 0) {
                    rtp_.reset(c);
                    listener_.reset();
                    break;
                }
            }
            continue;
        }
        UniqueSocket s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!cfg_.localIp.empty()) Bind(s.get(), cfg_.localIp, 0);
        sockaddr_in to = MakeAddr(cfg_.remoteIp, cfg_.remotePort);
        if (connect(s.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
            localPort_ = BoundPort(s.get());
            rtp_ = std::move(s);
            break;
        }
        error = Errno(("cannot connect to " + cfg_.remoteIp + ":" + std::to_string(cfg_.remotePort))
                          .c_str());
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!rtp_.valid()) {
        if (cancel_) error = "cancelled";
        else if (cfg_.transport == MediaTransport::TcpListen)
            error = "no connection on TCP port " + std::to_string(localPort_);
        return false;
    }
    int one = 1;
    setsockopt(rtp_.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // A stalled reader must not block the stream thread for ever.
    timeval tv{5, 0};
    setsockopt(rtp_.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    error.clear();
    return true;
}

bool RtpSender::SendTcp(const std::vector<uint8_t>& bytes, std::string& error) {
    std::size_t off = 0;
    while (off < bytes.size()) {
        ssize_t n = send(rtp_.get(), bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)
                        ? "the receiver stopped reading"
                        : Errno("connection lost");
            return false;
        }
        off += static_cast<std::size_t>(n);
    }
    return true;
}

void RtpSender::DrainIncoming() {
    // Receiver reports (and anything else the peer sends) are read and dropped.
    char buf[2048];
    int fd = cfg_.transport == MediaTransport::Udp ? rtcp_.get() : rtp_.get();
    if (fd < 0) return;
    while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
}

bool RtpSender::SendPack(const std::vector<uint8_t>& pack, uint32_t ts, std::string& error) {
    if (!rtp_.valid()) {
        error = "not connected";
        return false;
    }
    const uint16_t first = seq_;
    auto packets = Packetize(pack, seq_, ts, cfg_.ssrc, cfg_.payloadType, cfg_.maxPayload);
    if (cfg_.skipEvery) {
        seq_ = first;
        for (auto& p : packets) {
            if (++numbered_ % cfg_.skipEvery == 0) ++seq_;
            p[2] = static_cast<uint8_t>(seq_ >> 8);
            p[3] = static_cast<uint8_t>(seq_);
            ++seq_;
        }
    }
    ++packs_;
    if (cfg_.reorderEvery && packs_ % cfg_.reorderEvery == 0 && packets.size() >= 2)
        std::swap(packets[packets.size() - 2], packets.back());
    if (!late_.empty()) {
        packets.insert(packets.begin() + (packets.empty() ? 0 : 1), std::move(late_));
        late_.clear();
    }
    if (cfg_.lateEvery && packs_ % cfg_.lateEvery == 0 && packets.size() >= 2) {
        late_ = std::move(packets.back());
        packets.pop_back();
    }
    DrainIncoming();
    if (cfg_.transport == MediaTransport::Udp) {
        sockaddr_in to = MakeAddr(cfg_.remoteIp, cfg_.remotePort);
        for (const auto& p : packets) {
            if (sendto(rtp_.get(), p.data(), p.size(), 0, reinterpret_cast<sockaddr*>(&to),
                       sizeof to) < 0 &&
                errno != ECONNREFUSED) {
                error = Errno("sendto");
                return false;
            }
            ++packets_;
            bytes_ += p.size();
            burst_ += p.size();
            if (cfg_.burstBytes && burst_ >= cfg_.burstBytes) {
                burst_ = 0;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        return true;
    }
    std::vector<uint8_t> all;
    for (const auto& p : packets) {
        auto f = FrameForTcp(p, cfg_.framing);
        all.insert(all.end(), f.begin(), f.end());
        ++packets_;
        bytes_ += p.size();
    }
    return SendTcp(all, error);
}

} // namespace tvsend

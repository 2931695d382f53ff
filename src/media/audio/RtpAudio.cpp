#include "media/audio/RtpAudio.h"

#include "media/send/PsMuxer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <random>

namespace tvaudio {

namespace {

// A program stream map naming one G.711 stream on C0 (stream type 0x90 A-law,
// 0x91 mu-law), so that a reader knows the audio without any video.
std::vector<uint8_t> AudioStreamMap(G711Law law) {
    std::vector<uint8_t> m = {0x00, 0x00, 0x01, 0xBC, 0x00, 14,   0xE0, 0xFF, 0x00, 0x00,
                              0x00, 0x04, static_cast<uint8_t>(law == G711Law::A ? 0x90 : 0x91),
                              0xC0, 0x00, 0x00};
    const uint32_t crc = tvsend::Crc32Mpeg(m.data(), m.size());
    for (int k = 3; k >= 0; --k) m.push_back(static_cast<uint8_t>(crc >> (8 * k)));
    return m;
}

} // namespace

RtpAudioOut::RtpAudioOut(AudioOutConfig config)
    : cfg_([&] {
          config.net.payloadType = config.aac             ? static_cast<uint8_t>(config.aacFormat.payloadType)
                                   : config.programStream ? 96
                                                          : PayloadTypeOf(config.law);
          // An AAC-LC AU is at most 768 bytes a channel: it always goes whole in one packet.
          if (config.aac)
              config.net.maxPayload =
                  std::max<std::size_t>(config.net.maxPayload, 8 + 768 * std::size_t(config.aacFormat.channels));
          return config;
      }()),
      sender_(cfg_.net) {
    std::random_device rd;
    timestamp_ = rd(); // RFC 3550 5.1: the first timestamp is random
}

std::string RtpAudioOut::Error() const {
    std::lock_guard lock(errorLock_);
    return error_;
}

void RtpAudioOut::Push(const G711Block& in) {
    if (failed_) return;
    pending_.insert(pending_.end(), in.bytes.begin(), in.bytes.end());
    std::size_t off = 0;
    while (pending_.size() - off >= kSamplesPerPacket) {
        std::vector<uint8_t> frame(pending_.begin() + static_cast<long>(off),
                                   pending_.begin() + static_cast<long>(off + kSamplesPerPacket));
        off += kSamplesPerPacket;
        std::string error;
        bool ok;
        uint32_t ts;
        if (cfg_.programStream) {
            tvsend::PsMuxer mux;
            mux.withAudio = true;
            ts = static_cast<uint32_t>(pts_);
            std::vector<uint8_t> pack = mux.MuxAudio(frame.data(), frame.size(), pts_);
            // The map after the pack header of the first pack and then once a second.
            if (packets_ % 50 == 0 && pack.size() >= 14) {
                const auto map = AudioStreamMap(cfg_.law);
                pack.insert(pack.begin() + 14 + (pack[13] & 7), map.begin(), map.end());
            }
            ok = sender_.SendPack(pack, ts, error);
            pts_ += kSamplesPerPacket * 90000 / 8000;
        } else {
            ts = timestamp_;
            ok = sender_.SendPack(frame, ts, error);
            timestamp_ += kSamplesPerPacket;
        }
        if (!ok) {
            std::lock_guard lock(errorLock_);
            error_ = error;
            failed_ = true;
            break;
        }
        ++packets_;
        if (onSent) onSent(ts);
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(off));
}

void RtpAudioOut::Push(const AacFrame& in) {
    if (failed_ || in.bytes.empty()) return;
    const std::vector<uint8_t> payload = AacPayload(cfg_.aacFormat, in.bytes.data(), in.bytes.size());
    if (payload.empty()) {
        ++tooLarge_;
        return;
    }
    const uint32_t ts = timestamp_;
    timestamp_ += kAacFrameSamples;
    if (Send(payload, ts) && onSent) onSent(ts);
}

bool RtpAudioOut::Send(const std::vector<uint8_t>& payload, uint32_t ts) {
    std::string error;
    if (!sender_.SendPack(payload, ts, error)) {
        std::lock_guard lock(errorLock_);
        error_ = error;
        failed_ = true;
        return false;
    }
    ++packets_;
    return true;
}

bool AudioOfPayload(int pt, const uint8_t* p, std::size_t n, G711Block& out) {
    if (pt == 0 || pt == 8) {
        out.bytes.assign(p, p + n);
        return n > 0;
    }
    if (pt != 96) return false;
    out.bytes.clear();
    std::size_t i = 0;
    while (i + 4 <= n) {
        if (p[i] != 0 || p[i + 1] != 0 || p[i + 2] != 1) {
            ++i;
            continue;
        }
        const uint8_t sid = p[i + 3];
        if (sid == 0xBA) { // pack header: 14 bytes and its stuffing
            if (i + 14 > n) break;
            i += 14 + (p[i + 13] & 7);
            continue;
        }
        if (sid < 0xBB || i + 6 > n) {
            i += 4;
            continue;
        }
        const std::size_t len = std::size_t(p[i + 4]) << 8 | p[i + 5];
        const std::size_t end = std::min(n, i + 6 + len);
        if (sid >= 0xC0 && sid <= 0xDF && i + 9 <= end) {
            const std::size_t start = i + 9 + p[i + 8];
            if (start < end) out.bytes.insert(out.bytes.end(), p + start, p + end);
        }
        i = end;
    }
    return !out.bytes.empty();
}

RtpAudioIn::RtpAudioIn(AudioInConfig config) : cfg_(std::move(config)) {}

RtpAudioIn::~RtpAudioIn() {
    Stop();
    if (fd_ >= 0) close(fd_);
    if (listenFd_ >= 0) close(listenFd_);
}

bool RtpAudioIn::Open(std::string& error) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(cfg_.localPort);
    if (inet_pton(AF_INET, cfg_.localIp.c_str(), &a.sin_addr) != 1) a.sin_addr.s_addr = INADDR_ANY;
    if (cfg_.transport == InTransport::TcpConnect) return true;
    const bool udp = cfg_.transport == InTransport::Udp;
    int fd = socket(AF_INET, (udp ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC, 0);
    int one = 1;
    if (!udp) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        (!udp && listen(fd, 2) != 0)) {
        error = std::string("cannot bind the audio port: ") + std::strerror(errno);
        if (fd >= 0) close(fd);
        return false;
    }
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    localPort_ = ntohs(a.sin_port);
    (udp ? fd_ : listenFd_) = fd;
    return true;
}

void RtpAudioIn::Start(Sink<G711Block>* alaw, Sink<G711Block>* ulaw) {
    alaw_ = alaw;
    ulaw_ = ulaw;
    stop_ = false;
    thread_ = std::thread([this] { Run(); });
}

void RtpAudioIn::Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void RtpAudioIn::Handle(const uint8_t* p, std::size_t n) {
    if (n < 12 || (p[0] >> 6) != 2) return;
    std::size_t head = 12 + 4 * std::size_t(p[0] & 15);
    if (p[0] & 0x10) { // header extension
        if (n < head + 4) return;
        head += 4 + 4 * (std::size_t(p[head + 2]) << 8 | p[head + 3]);
    }
    std::size_t end = n;
    if (p[0] & 0x20) { // padding: the last byte counts it
        if (p[n - 1] > n) return;
        end -= p[n - 1];
    }
    if (head >= end) return;
    const int pt = p[1] & 0x7F;
    ++packets_;
    lastPt_ = pt;
    if (aac_ && pt == aacFormat_.payloadType) {
        std::vector<AacFrame> units;
        AacUnitsOfPayload(aacFormat_, p + head, end - head, units);
        for (const AacFrame& u : units) aac_->Push(u);
        return;
    }
    G711Block block;
    if (!AudioOfPayload(pt, p + head, end - head, block)) return;
    Sink<G711Block>* sink = pt == 0 ? ulaw_ : alaw_;
    if (sink) sink->Push(block);
}

void RtpAudioIn::Run() {
    std::vector<uint8_t> buf(65536);
    std::vector<uint8_t> stream; // TCP bytes not yet framed
    while (!stop_) {
        if (fd_ < 0) {
            if (cfg_.transport == InTransport::TcpListen) {
                pollfd pl{listenFd_, POLLIN, 0};
                if (poll(&pl, 1, 100) > 0) fd_ = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            } else if (cfg_.transport == InTransport::TcpConnect) {
                int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                sockaddr_in to{};
                to.sin_family = AF_INET;
                to.sin_port = htons(cfg_.remotePort);
                inet_pton(AF_INET, cfg_.remoteIp.c_str(), &to.sin_addr);
                if (connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
                    fd_ = s;
                } else {
                    close(s);
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                }
            }
            continue;
        }
        pollfd pr{fd_, POLLIN, 0};
        if (poll(&pr, 1, 100) <= 0) continue;
        const ssize_t got = recv(fd_, buf.data(), buf.size(), 0);
        if (got <= 0) {
            if (cfg_.transport == InTransport::Udp) continue;
            close(fd_); // the sender closed: wait for the next connection
            fd_ = -1;
            stream.clear();
            continue;
        }
        if (cfg_.transport == InTransport::Udp) {
            Handle(buf.data(), static_cast<std::size_t>(got));
            continue;
        }
        stream.insert(stream.end(), buf.begin(), buf.begin() + got);
        std::size_t off = 0;
        while (stream.size() - off >= 2) {
            const std::size_t len = std::size_t(stream[off]) << 8 | stream[off + 1];
            if (stream.size() - off - 2 < len) break;
            Handle(stream.data() + off + 2, len);
            off += 2 + len;
        }
        stream.erase(stream.begin(), stream.begin() + static_cast<long>(off));
    }
}

} // namespace tvaudio

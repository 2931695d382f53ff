#include "media/rtp/RtpTransmitter.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <cstring>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <thread>
#include <unistd.h>

namespace tvrtp {

namespace {
constexpr std::size_t kMaxDatagram = 65535;
// Reads per socket and poll pass, so that one busy socket cannot starve RTCP.
constexpr int kMaxReadsPerPass = 256;
// Room in packet storage below which a read starts a new slab: a datagram of
// an Ethernet MTU fits.
constexpr std::size_t kRoomPerRead = 2048;

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

int pollFds(pollfd* fds, nfds_t n, int timeoutMs) {
    int r;
    do {
        r = ::poll(fds, n, timeoutMs);
    } while (r < 0 && errno == EINTR);
    return r;
}
} // namespace

Transmitter::Transmitter() {
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

Transmitter::~Transmitter() {
    closeFd(wakeFd_);
}

void Transmitter::Wake() {
    if (wakeFd_ < 0) return;
    uint64_t one = 1;
    [[maybe_unused]] ssize_t w = ::write(wakeFd_, &one, sizeof one);
}

void Transmitter::DrainWake() {
    uint64_t v;
    while (::read(wakeFd_, &v, sizeof v) > 0) {
    }
}

std::unique_lock<std::mutex> Transmitter::LockForChange() {
    ++changers_;
    Wake();
    std::unique_lock<std::mutex> lock(io_);
    --changers_;
    return lock;
}

void Transmitter::LetChangesIn() {
    while (changers_.load() > 0)
        std::this_thread::yield();
}

// ---------------------------------------------------------------- UDP

UdpTransmitter::~UdpTransmitter() {
    closeFd(rtp_);
    closeFd(rtcp_);
}

int UdpTransmitter::Create(const UdpTransmissionParams& p) {
    if (rtp_ >= 0) return ERR_ALREADY_CREATED;
    if (p.portBase % 2 != 0) return ERR_ODD_PORT_BASE;
    if (wakeFd_ < 0) return ERR_SOCKET;
    auto open = [&](uint16_t port, int rcv, int snd, int* granted) -> int {
        int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (s < 0) return -1;
        ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &rcv, sizeof rcv);
        int got = 0;
        socklen_t gl = sizeof got;
        ::getsockopt(s, SOL_SOCKET, SO_RCVBUF, &got, &gl);
        // The kernel caps SO_RCVBUF at net.core.rmem_max (and reports twice
        // what it keeps); a process allowed to go past the cap does.
        if (got < rcv && ::setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &rcv, sizeof rcv) == 0) {
            gl = sizeof got;
            ::getsockopt(s, SOL_SOCKET, SO_RCVBUF, &got, &gl);
        }
        if (granted) {
            *granted = got;
            // The RTP socket tells its kernel drops with each datagram.
            const int on = 1;
            ::setsockopt(s, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
        }
        ::setsockopt(s, SOL_SOCKET, SO_SNDBUF, &snd, sizeof snd);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(p.bindIP);
        a.sin_port = htons(port);
        if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            const int why = errno; // the caller reports the bind's reason
            ::close(s);
            errno = why;
            return -1;
        }
        return s;
    };
    int r = open(p.portBase, p.rtpReceiveBuffer, p.rtpSendBuffer, &rtpReceiveBuffer_);
    if (r < 0) return ERR_SOCKET;
    int c =
        open(static_cast<uint16_t>(p.portBase + 1), p.rtcpReceiveBuffer, p.rtcpSendBuffer, nullptr);
    if (c < 0) {
        const int why = errno;
        ::close(r);
        errno = why;
        return ERR_SOCKET;
    }
    rtp_ = r;
    rtcp_ = c;
    rtpPort_ = p.portBase;
    buffer_.resize(kMaxDatagram);
    return 0;
}

int UdpTransmitter::AddDestination(const Address& a) {
    if (a.GetKind() != Address::Kind::IPv4) return ERR_WRONG_ADDRESS_KIND;
    const auto& v = static_cast<const Ipv4Address&>(a);
    auto lock = LockForChange();
    if (rtp_ < 0) return ERR_NOT_CREATED;
    if (std::find(destinations_.begin(), destinations_.end(), v) != destinations_.end())
        return ERR_DESTINATION_EXISTS;
    destinations_.push_back(v);
    return 0;
}

int UdpTransmitter::DeleteDestination(const Address& a) {
    if (a.GetKind() != Address::Kind::IPv4) return ERR_WRONG_ADDRESS_KIND;
    const auto& v = static_cast<const Ipv4Address&>(a);
    auto lock = LockForChange();
    auto it = std::find(destinations_.begin(), destinations_.end(), v);
    if (it == destinations_.end()) return ERR_NO_SUCH_DESTINATION;
    destinations_.erase(it);
    return 0;
}

void UdpTransmitter::ClearDestinations() {
    auto lock = LockForChange();
    destinations_.clear();
}

std::size_t UdpTransmitter::DestinationCount() {
    auto lock = LockForChange();
    return destinations_.size();
}

void UdpTransmitter::ReadAll(int fd, bool rtcp, std::vector<Incoming>& out) {
    for (int n = 0; n < kMaxReadsPerPass; ++n) {
        // Straight into packet storage; the rare datagram longer than the
        // room left in the slab runs on into buffer_ and is joined after.
        std::span<uint8_t> room = arena_.Room(kRoomPerRead);
        iovec iov[2] = {{room.data(), room.size()}, {buffer_.data(), buffer_.size()}};
        sockaddr_in from{};
        msghdr m{};
        m.msg_name = &from;
        m.msg_namelen = sizeof from;
        m.msg_iov = iov;
        m.msg_iovlen = 2;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint32_t))];
        m.msg_control = control;
        m.msg_controllen = sizeof control;
        ssize_t got = ::recvmsg(fd, &m, 0);
        if (got < 0) return; // EAGAIN or a transient error: try on the next pass
        for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c))
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
                uint32_t drops;
                std::memcpy(&drops, CMSG_DATA(c), sizeof drops);
                kernelDrops_.store(drops, std::memory_order_relaxed);
            }
        const auto length = static_cast<std::size_t>(got);
        Incoming in;
        in.bytes = length <= room.size() ? arena_.Commit(length)
                                         : arena_.Copy(room.data(), room.size(), buffer_.data(),
                                                       length - room.size());
        in.rtcp = rtcp;
        in.ip = ntohl(from.sin_addr.s_addr);
        in.port = ntohs(from.sin_port);
        out.push_back(std::move(in));
    }
}

void UdpTransmitter::Poll(int timeoutMs, std::vector<Incoming>& out) {
    LetChangesIn();
    std::lock_guard<std::mutex> lock(io_);
    if (rtp_ < 0) return;
    pollfd fds[3] = {{rtp_, POLLIN, 0}, {rtcp_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    if (pollFds(fds, 3, timeoutMs) <= 0) return;
    if (fds[2].revents) DrainWake();
    if (fds[0].revents & POLLIN) ReadAll(rtp_, false, out);
    if (fds[1].revents & POLLIN) ReadAll(rtcp_, true, out);
}

void UdpTransmitter::SendRtcp(const uint8_t* data, std::size_t length) {
    auto lock = LockForChange();
    if (rtcp_ < 0) return;
    for (const auto& d : destinations_) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(d.GetIP());
        to.sin_port = htons(d.GetRtcpPort());
        ::sendto(rtcp_, data, length, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
}

// ---------------------------------------------------------------- TCP

TcpTransmitter::~TcpTransmitter() {
    Destroy();
}

int TcpTransmitter::Init(bool /*threadSafe*/) {
    return wakeFd_ >= 0 ? 0 : ERR_SOCKET;
}

int TcpTransmitter::Create(std::size_t maxPacketSize) {
    auto lock = LockForChange();
    if (created_) return ERR_ALREADY_CREATED;
    if (maxPacketSize == 0 || maxPacketSize > 65535) return ERR_INVALID_PARAMETER;
    maxPacket_ = maxPacketSize;
    buffer_.resize(65536 + 2);
    created_ = true;
    return 0;
}

void TcpTransmitter::Destroy() {
    auto lock = LockForChange();
    connections_.clear();
    created_ = false;
}

int TcpTransmitter::AddDestination(const Address& a) {
    if (a.GetKind() != Address::Kind::TCP) return ERR_WRONG_ADDRESS_KIND;
    int fd = static_cast<const TcpAddress&>(a).GetSocket();
    if (fd < 0) return ERR_INVALID_PARAMETER;
    auto lock = LockForChange();
    if (!created_) return ERR_NOT_CREATED;
    if (connections_.count(fd)) return ERR_DESTINATION_EXISTS;
    connections_.emplace(fd, Connection{});
    return 0;
}

int TcpTransmitter::DeleteDestination(const Address& a) {
    if (a.GetKind() != Address::Kind::TCP) return ERR_WRONG_ADDRESS_KIND;
    int fd = static_cast<const TcpAddress&>(a).GetSocket();
    auto lock = LockForChange();
    return connections_.erase(fd) ? 0 : ERR_NO_SUCH_DESTINATION;
}

void TcpTransmitter::ClearDestinations() {
    auto lock = LockForChange();
    connections_.clear();
}

std::size_t TcpTransmitter::DestinationCount() {
    auto lock = LockForChange();
    return connections_.size();
}

void TcpTransmitter::ReadFrom(int fd, Connection& c, std::vector<Incoming>& out) {
    // What waited before this read: it builds up while the thread is busy
    // elsewhere (a read drains the queue, so after one little is left).
    const auto now = std::chrono::steady_clock::now();
    if (now - c.lastSample >= kBacklogSampleEvery) {
        c.lastSample = now;
        int queued = 0;
        if (::ioctl(fd, FIONREAD, &queued) == 0 && queued >= 0) {
            const auto q = static_cast<uint64_t>(queued);
            backlogBytes_.fetch_add(q, std::memory_order_relaxed);
            if (q > backlogLargest_.load(std::memory_order_relaxed))
                backlogLargest_.store(q, std::memory_order_relaxed);
            backlogSamples_.fetch_add(1, std::memory_order_release);
        }
    }
    for (int n = 0; n < kMaxReadsPerPass; ++n) {
        ssize_t got = ::recv(fd, buffer_.data(), buffer_.size(), MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            c.closed = true; // an unfinished frame of a closed connection is dropped
            c.in.clear();
            return;
        }
        if (got < 0) return;
        c.lastInput = std::chrono::steady_clock::now();
        c.in.insert(c.in.end(), buffer_.data(), buffer_.data() + got);
        Deframe(fd, c, out);
        if (static_cast<std::size_t>(got) < buffer_.size()) return;
    }
}

// Cuts the complete packets off the front of c.in. A connection whose first
// byte is '$' and whose bytes read as an interleaved header before an RTP or
// RTCP version-2 byte (and not as a 4571 length before one) is interleaved;
// any other is RFC 4571. Interleaved data that does not start with '$' at a
// packet boundary is skipped up to the next '$'.
void TcpTransmitter::Deframe(int fd, Connection& c, std::vector<Incoming>& out) {
    if (c.framing == TcpFraming::Unknown) {
        if (c.in.empty()) return;
        if (c.in[0] != '$') {
            c.framing = TcpFraming::Rfc4571;
        } else {
            if (c.in.size() < 5) return; // the rest of the first header comes later
            const bool rtpAfterLength = (c.in[2] >> 6) == 2;
            const bool rtpAfterHeader = (c.in[4] >> 6) == 2;
            c.framing =
                rtpAfterHeader && !rtpAfterLength ? TcpFraming::Interleaved : TcpFraming::Rfc4571;
        }
    }
    const bool interleaved = c.framing == TcpFraming::Interleaved;
    const std::size_t head = interleaved ? 4 : 2;
    std::size_t pos = 0;
    while (c.in.size() - pos >= head) {
        if (interleaved && c.in[pos] != '$') {
            const void* next = std::memchr(c.in.data() + pos, '$', c.in.size() - pos);
            pos = next ? static_cast<std::size_t>(static_cast<const uint8_t*>(next) - c.in.data())
                       : c.in.size();
            continue;
        }
        const uint8_t* h = c.in.data() + pos + head - 2;
        std::size_t len = static_cast<std::size_t>(h[0] << 8 | h[1]);
        if (c.in.size() - pos - head < len) break; // the rest comes later
        const uint8_t* p = c.in.data() + pos + head;
        const uint8_t channel = interleaved ? c.in[pos + 1] : 0;
        pos += head + len;
        if (len == 0 || len > maxPacket_) continue; // empty or too large: skipped
        Incoming in;
        in.bytes = arena_.Copy(p, len);
        // RFC 5761: RTCP packet types 200..204 occupy the second byte.
        in.rtcp = len >= 2 && p[1] >= 200 && p[1] <= 204;
        if (interleaved && !in.rtcp) c.rtcpChannel = static_cast<uint8_t>(channel | 1);
        in.viaTcp = true;
        in.socket = fd;
        out.push_back(std::move(in));
    }
    c.in.erase(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(pos));
}

std::vector<int> TcpTransmitter::TakeClosed() {
    // Called by the polling thread between polls: waking the poll would only
    // make the next one return at once.
    std::lock_guard<std::mutex> lock(io_);
    std::vector<int> v;
    v.swap(closed_);
    return v;
}

std::map<int, std::chrono::steady_clock::time_point> TcpTransmitter::LastInputs() {
    auto lock = LockForChange();
    std::map<int, std::chrono::steady_clock::time_point> m;
    for (const auto& [fd, c] : connections_)
        m.emplace(fd, c.lastInput);
    return m;
}

TcpFraming TcpTransmitter::FramingOf(int socket) {
    auto lock = LockForChange();
    auto it = connections_.find(socket);
    return it == connections_.end() ? TcpFraming::Unknown : it->second.framing;
}

TcpTransmitter::Backlog TcpTransmitter::ReceiveBacklog() const {
    Backlog b;
    b.samples = backlogSamples_.load(std::memory_order_acquire);
    b.bytes = backlogBytes_.load(std::memory_order_relaxed);
    b.largest = backlogLargest_.load(std::memory_order_relaxed);
    return b;
}

void TcpTransmitter::Flush(int fd, Connection& c) {
    while (!c.out.empty()) {
        ssize_t w = ::send(fd, c.out.data(), c.out.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (w <= 0) {
            if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
            c.out.clear(); // broken connection: nothing more can be sent
            return;
        }
        c.out.erase(c.out.begin(), c.out.begin() + w);
    }
}

void TcpTransmitter::Poll(int timeoutMs, std::vector<Incoming>& out) {
    LetChangesIn();
    std::lock_guard<std::mutex> lock(io_);
    std::vector<pollfd> fds;
    fds.push_back({wakeFd_, POLLIN, 0});
    for (auto& [fd, c] : connections_) {
        short ev = 0;
        if (!c.closed) ev |= POLLIN;
        if (!c.out.empty()) ev |= POLLOUT;
        if (ev) fds.push_back({fd, ev, 0});
    }
    if (pollFds(fds.data(), fds.size(), timeoutMs) <= 0) return;
    if (fds[0].revents) DrainWake();
    for (std::size_t i = 1; i < fds.size(); ++i) {
        if (!fds[i].revents) continue;
        auto it = connections_.find(fds[i].fd);
        if (it == connections_.end()) continue;
        if (fds[i].revents & POLLNVAL) {
            it->second.closed = true;
            it->second.out.clear();
        } else {
            if (fds[i].revents & POLLOUT) Flush(fds[i].fd, it->second);
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) ReadFrom(fds[i].fd, it->second, out);
        }
        // A finished connection is forgotten at once; its owner closes it.
        if (it->second.closed) {
            closed_.push_back(it->first);
            connections_.erase(it);
        }
    }
}

void TcpTransmitter::SendRtcp(const uint8_t* data, std::size_t length) {
    if (length == 0 || length > 65535) return;
    auto lock = LockForChange();
    for (auto& [fd, c] : connections_) {
        // A peer that reads nothing does not make the queue grow; the report is
        // dropped whole so that the framing of what is queued stays intact.
        if (c.out.size() > 65536 * 4) continue;
        if (c.framing == TcpFraming::Interleaved) {
            c.out.push_back('$');
            c.out.push_back(c.rtcpChannel);
        }
        c.out.push_back(static_cast<uint8_t>(length >> 8));
        c.out.push_back(static_cast<uint8_t>(length));
        c.out.insert(c.out.end(), data, data + length);
        Flush(fd, c);
    }
}

} // namespace tvrtp

// SIP over TCP (and TLS on it): connections, their limits, and the framing
// of the byte stream by Content-Length.
#include "sip/ua/TransportImpl.h"

namespace sipua {

using namespace transport_detail;

long FindContentLength(const char* head, std::size_t headLen) {
    // Walk header lines; names are case-insensitive, "l" is the compact form.
    std::size_t i = 0;
    long found = -1;
    while (i < headLen) {
        std::size_t e = i;
        while (e < headLen && head[e] != '\n')
            ++e;
        std::size_t lineEnd = e;
        if (lineEnd > i && head[lineEnd - 1] == '\r') --lineEnd;
        std::string line(head + i, lineEnd - i);
        i = e + 1;
        std::size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string name = line.substr(0, colon);
        while (!name.empty() && (name.back() == ' ' || name.back() == '\t'))
            name.pop_back();
        if (strcasecmp(name.c_str(), "Content-Length") != 0 && strcasecmp(name.c_str(), "l") != 0)
            continue;
        std::size_t v = colon + 1;
        while (v < line.size() && (line[v] == ' ' || line[v] == '\t'))
            ++v;
        if (v >= line.size()) return -2;
        long n = 0;
        for (; v < line.size() && line[v] >= '0' && line[v] <= '9'; ++v) {
            n = n * 10 + (line[v] - '0');
            if (n > static_cast<long>(kMaxBodyBytes)) return -2;
        }
        while (v < line.size() && (line[v] == ' ' || line[v] == '\t'))
            ++v;
        if (v != line.size()) return -2;
        if (found >= 0 && found != n) return -2; // two differing values
        found = n;
    }
    return found;
}

FrameResult CutStreamMessage(std::string_view buf, std::size_t* skip, std::size_t* len) {
    std::size_t s = 0;
    while (s < buf.size() && (buf[s] == '\r' || buf[s] == '\n'))
        ++s;
    *skip = s;
    std::size_t end = buf.find("\r\n\r\n", s);
    if (end == std::string_view::npos) {
        if (buf.size() - s > kMaxHeaderBytes) return FrameResult::Bad;
        return FrameResult::Need;
    }
    if (end - s > kMaxHeaderBytes) return FrameResult::Bad;
    long cl = FindContentLength(buf.data() + s, end - s + 2);
    if (cl == -2) return FrameResult::Bad;
    if (cl < 0) cl = 0; // a stream message without Content-Length has no body
    std::size_t total = end + 4 - s + static_cast<std::size_t>(cl);
    if (buf.size() - s < total) return FrameResult::Need;
    *len = total;
    return FrameResult::Message;
}

void Transport::DropConn(int id, const char* why) {
    auto it = conns_.find(id);
    if (it == conns_.end()) return;
    for (auto a = aliases_.begin(); a != aliases_.end();)
        a = a->second == id ? aliases_.erase(a) : std::next(a);
    std::string host = it->second->host;
    int port = it->second->port;
    conns_.erase(it);
    Trace("connection %d (%s:%d) closed: %s (%zu of %zu)", id, host.c_str(), port, why, Count(),
          maxConns_);
}

void Transport::Sweep() {
    for (auto it = conns_.begin(); it != conns_.end();) {
        auto next = std::next(it);
        if (it->second->dead) DropConn(it->first, it->second->why);
        it = next;
    }
}

bool Transport::MakeRoom(const char* why) {
    Conn* victim = nullptr;
    for (auto& [id, c] : conns_) {
        if (c->dead || id == busyConn_) continue;
        if (!victim || (c->carried < victim->carried) ||
            (c->carried == victim->carried && c->last < victim->last))
            victim = c.get();
    }
    if (!victim) return false;
    long long idle = std::chrono::duration_cast<std::chrono::seconds>(Now() - victim->last).count();
    Trace("%s: closing connection %d (%s:%d), idle for %lld s%s", why, victim->id,
          victim->host.c_str(), victim->port, idle,
          victim->carried ? "" : ", never carried a message");
    victim->dead = true;
    victim->why = "made room for a new one";
    victim->fd.reset(); // its descriptor is free at once; the record goes at the next sweep
    return true;
}

Transport::Conn& Transport::Adopt(std::unique_ptr<Conn> c, const char* how) {
    c->last = Now();
    if (c->source.empty()) c->source = HostOf(c->peer);
    int id = c->id;
    Conn& ref = *c;
    conns_[id] = std::move(c);
    Trace("connection %d %s %s:%d opened (%zu of %zu)", id, how, ref.host.c_str(), ref.port,
          Count(), maxConns_);
    return ref;
}

void Transport::ExpireIdle() {
    if (idle_.count() <= 0) return;
    auto now = Now();
    bool any = false;
    for (auto& [id, c] : conns_) {
        if (c->dead || now - c->last < idle_) continue;
        c->dead = true;
        c->why = "idle";
        any = true;
    }
    if (any) Sweep();
}

Transport::Conn* Transport::FindConn(const std::string& host, int port) {
    auto a = aliases_.find(Key(host, port));
    if (a != aliases_.end()) {
        auto c = conns_.find(a->second);
        if (c != conns_.end() && !c->second->dead) return c->second.get();
    }
    for (auto& [id, c] : conns_)
        if (!c->dead && c->host == host && c->port == port) return c.get();
    return nullptr;
}

void Transport::AddAlias(int connId, const std::string& host, int port) {
    if (connId > 0 && conns_.count(connId)) aliases_[Key(host, port)] = connId;
}

int Transport::AcceptOne() {
    sockaddr_in from{};
    socklen_t len = sizeof from;
    int fd = accept4(sock_.get(), reinterpret_cast<sockaddr*>(&from), &len,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno != EMFILE && errno != ENFILE) return -1;
        // Out of descriptors (accept says so even with nothing waiting):
        // when a peer is waiting an idle connection gives its own up, else
        // the listener rests so that the poll loop does not spin on it.
        if (!WaitFd(sock_.get(), POLLIN, 0)) return -1;
        if (MakeRoom("out of descriptors")) return 0;
        acceptPausedUntil_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
        Trace("out of descriptors with no connection to close: accept paused");
        return -1;
    }
    UniqueSocket s(fd);
    if (Count() >= maxConns_ && !MakeRoom("connection limit reached")) return 0;
    auto c = std::make_unique<Conn>();
    c->id = nextConn_++;
    c->peer = from;
    c->host = HostOf(from);
    c->port = ntohs(from.sin_port);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, 1 /*TCP_NODELAY*/, &one, sizeof one);
    if (secure_) {
        c->ssl = SSL_new(serverCtx_);
        if (!c->ssl) return 0;
        SSL_set_fd(c->ssl, fd);
        SSL_set_accept_state(c->ssl);
    } else {
        c->handshaken = true;
    }
    c->fd = std::move(s);
    Adopt(std::move(c), "from");
    return 0;
}

void Transport::ReadConn(Conn& c, const std::function<void(Datagram&)>& deliver) {
    char buf[16384];
    busyConn_ = c.id;
    for (;;) {
        long n;
        if (c.ssl) {
            if (!c.handshaken) {
                int r = SSL_do_handshake(c.ssl);
                if (r == 1) {
                    c.handshaken = true;
                    c.last = Now();
                } else {
                    int e = SSL_get_error(c.ssl, r);
                    if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) {
                        c.dead = true;
                        c.why = "TLS handshake failed";
                    }
                    ERR_clear_error();
                    break;
                }
            }
            n = SSL_read(c.ssl, buf, sizeof buf);
            if (n <= 0) {
                int e = SSL_get_error(c.ssl, static_cast<int>(n));
                ERR_clear_error();
                if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) break;
                c.dead = true;
                c.why = "closed by the peer";
                break;
            }
        } else {
            n = recv(c.fd.get(), buf, sizeof buf, 0);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) break;
            if (n <= 0) {
                c.dead = true; // closed or reset by the peer
                c.why = "closed by the peer";
                break;
            }
        }
        c.last = Now();
        c.in.append(buf, static_cast<std::size_t>(n));
        // Framed chunk by chunk, so a burst of small messages never piles up.
        Frame(c, deliver);
        if (c.dead) break;
    }
    busyConn_ = 0;
}

void Transport::Frame(Conn& c, const std::function<void(Datagram&)>& deliver) {
    std::size_t used = 0;
    while (!c.dead) {
        std::size_t skip = 0, len = 0;
        std::string_view rest(c.in.data() + used, c.in.size() - used);
        FrameResult r = CutStreamMessage(rest, &skip, &len);
        if (r == FrameResult::Bad) {
            // Framing is lost: nothing after this point can be trusted.
            c.dead = true;
            c.why = "framing lost";
            Datagram bad;
            bad.data.assign(rest.data(), std::min(rest.size(), kMaxHeaderBytes));
            bad.host = c.source;
            bad.port = ntohs(c.peer.sin_port);
            bad.connId = c.id;
            bad.invalid = "stream framing lost";
            deliver(bad);
            break;
        }
        if (r == FrameResult::Need) {
            used += skip;
            break;
        }
        Datagram d;
        d.data.assign(rest.data() + skip, len);
        used += skip + len;
        d.host = c.source;
        d.port = ntohs(c.peer.sin_port);
        d.connId = c.id;
        c.carried = true;
        deliver(d);
    }
    c.in.erase(0, used);
    if (c.in.size() > kMaxHeaderBytes + kMaxBodyBytes + 4096) {
        c.dead = true;
        c.why = "message too large";
    }
}

void Transport::InjectStream(const std::string& bytes, const std::string& host, int port,
                             const std::function<void(Datagram&)>& deliver) {
    if (Count() >= maxConns_ && !MakeRoom("connection limit reached")) return;
    auto n = std::make_unique<Conn>();
    n->id = nextConn_++;
    n->host = host;
    n->port = port;
    n->source = host; // taken as given: no name is looked up
    n->peer.sin_port = htons(static_cast<uint16_t>(port));
    n->handshaken = true;
    Conn& c = Adopt(std::move(n), "injected from");
    c.in = bytes;
    busyConn_ = c.id;
    Frame(c, deliver);
    busyConn_ = 0;
    c.dead = true;
    if (!*c.why) c.why = "injected input ended";
    Sweep();
}

int Transport::WriteAll(Conn& c, const char* p, std::size_t n) {
    std::size_t off = 0;
    int waits = 0;
    while (off < n) {
        long w;
        if (c.ssl) {
            w = SSL_write(c.ssl, p + off, static_cast<int>(n - off));
            if (w <= 0) {
                int e = SSL_get_error(c.ssl, static_cast<int>(w));
                ERR_clear_error();
                if ((e == SSL_ERROR_WANT_WRITE || e == SSL_ERROR_WANT_READ) && waits++ < 20 &&
                    WaitFd(c.fd.get(), e == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN, 100))
                    continue;
                c.dead = true;
                c.why = "write failed";
                return -1;
            }
        } else {
            w = send(c.fd.get(), p + off, n - off, MSG_NOSIGNAL);
            if (w < 0) {
                if ((errno == EAGAIN || errno == EINTR) && waits++ < 20 &&
                    WaitFd(c.fd.get(), POLLOUT, 100))
                    continue;
                c.dead = true;
                c.why = "write failed";
                return -1;
            }
        }
        off += static_cast<std::size_t>(w);
    }
    c.last = Now();
    return 0;
}

int Transport::ConnectTo(const std::string& host, int port) {
    sockaddr_in a{};
    if (!Resolve(host, port, &a) || port <= 0) return -1;
    if (Count() >= maxConns_ && !MakeRoom("connection limit reached")) return -1;
    UniqueSocket s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!s.valid()) return -1;
    std::string ip = HostOf(a);
    if (ConnectWithTimeout(s.get(), ip.c_str(), port, 3000) != 0) return -1;
    SetNonBlocking(s.get());
    auto c = std::make_unique<Conn>();
    c->id = nextConn_++;
    c->peer = a;
    c->host = host;
    c->port = port;
    if (secure_) {
        c->ssl = SSL_new(clientCtx_);
        if (!c->ssl) return -1;
        SSL_set_fd(c->ssl, s.get());
        SSL_set_connect_state(c->ssl);
        for (int i = 0; i < 30; ++i) {
            int r = SSL_do_handshake(c->ssl);
            if (r == 1) {
                c->handshaken = true;
                break;
            }
            int e = SSL_get_error(c->ssl, r);
            ERR_clear_error();
            if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) return -1;
            WaitFd(s.get(), e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, 100);
        }
        if (!c->handshaken) return -1;
    } else {
        c->handshaken = true;
    }
    c->fd = std::move(s);
    return Adopt(std::move(c), "to").id;
}

int Transport::SendStream(const std::string& data, const std::string& host, int port, Conn* c) {
    if (!c) {
        int id = ConnectTo(host, port);
        if (id < 0) return -1;
        c = conns_[id].get();
    }
    if (!c->handshaken) return -1;
    return WriteAll(*c, data.data(), data.size());
}

} // namespace sipua

#include "sip/ua/Transport.h"

#include "sip/ua/SipAgent.h"

#include <algorithm>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace sipua {

const char* const kCertFileName = "tarvex-sip.crt";
const char* const kKeyFileName = "tarvex-sip.key";

namespace {

bool SetNonBlocking(int fd) {
    int fl = fcntl(fd, F_GETFL, 0);
    return fl >= 0 && fcntl(fd, F_SETFL, fl | O_NONBLOCK) == 0;
}

std::string Key(const std::string& host, int port) {
    return host + ":" + std::to_string(port);
}

bool Resolve(const std::string& host, int port, sockaddr_in* out) {
    std::memset(out, 0, sizeof(*out));
    out->sin_family = AF_INET;
    out->sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &out->sin_addr) == 1) return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* res = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res) return false;
    out->sin_addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
    freeaddrinfo(res);
    return true;
}

std::string HostOf(const sockaddr_in& a) {
    char buf[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a.sin_addr, buf, sizeof buf);
    return buf;
}

bool FileExists(const char* p) {
    struct stat st {};
    return stat(p, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
}

// Waits until fd is readable/writable or ms elapse.
bool WaitFd(int fd, short events, int ms) {
    pollfd p{fd, events, 0};
    return poll(&p, 1, ms) > 0;
}

} // namespace

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

int EnsureCertificate(const char* certPath, const char* keyPath) {
    if (FileExists(certPath) && FileExists(keyPath)) return 0;
    EVP_PKEY* key = EVP_EC_gen("P-256");
    if (!key) return -1;
    X509* x = X509_new();
    int rc = -1;
    if (x) {
        X509_set_version(x, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(x), static_cast<long>(time(nullptr)));
        X509_gmtime_adj(X509_getm_notBefore(x), -3600);
        X509_gmtime_adj(X509_getm_notAfter(x), 10L * 365 * 24 * 3600);
        X509_set_pubkey(x, key);
        X509_NAME* name = X509_get_subject_name(x);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("Tarvex SIP"), -1, -1, 0);
        X509_set_issuer_name(x, name);
        if (X509_sign(x, key, EVP_sha256()) > 0) {
            // Key first with owner-only permissions, then the certificate.
            int kfd = open(keyPath, O_WRONLY | O_CREAT | O_TRUNC, 0600);
            FILE* kf = kfd >= 0 ? fdopen(kfd, "w") : nullptr;
            FILE* cf = kf ? fopen(certPath, "w") : nullptr;
            if (kf && cf && PEM_write_PrivateKey(kf, key, nullptr, nullptr, 0, nullptr, nullptr) &&
                PEM_write_X509(cf, x))
                rc = 0;
            if (cf) fclose(cf);
            if (kf)
                fclose(kf);
            else if (kfd >= 0)
                close(kfd);
        }
        X509_free(x);
    }
    EVP_PKEY_free(key);
    return rc;
}

struct Transport::Conn {
    int id = 0;
    UniqueSocket fd; // stream only; DTLS sessions share the UDP socket
    sockaddr_in peer{};
    std::string host; // as we know the peer: its address, or the name we connected to
    int port = 0;
    std::string source; // the peer's address, dotted: where its packets come from
    SSL* ssl = nullptr;
    BIO* rbio = nullptr; // DTLS: datagrams from the peer
    BIO* wbio = nullptr; // DTLS: records to the peer
    bool handshaken = false;
    std::string in;
    std::vector<std::string> pending; // DTLS: written before the handshake ended
    bool dead = false;
    const char* why = "";                       // what ended it, for the trace
    bool carried = false;                       // a whole SIP message came in on it
    std::chrono::steady_clock::time_point last; // its latest traffic, either way
    ~Conn() {
        if (ssl) SSL_free(ssl); // frees the BIOs it owns
    }
};

Transport::Transport(int protocol, bool secure)
    : protocol_(protocol), secure_(secure), stream_(protocol == IPPROTO_TCP) {}

Transport::~Transport() {
    Close();
}

std::chrono::steady_clock::time_point Transport::Now() const {
    return clock_ ? clock_() : std::chrono::steady_clock::now();
}

void Transport::Trace(const char* fmt, ...) const {
    if (!trace_) return;
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    fprintf(stderr, "sipua: %s\n", line);
}

const char* Transport::ViaName() const {
    if (stream_) return secure_ ? "TLS" : "TCP";
    return secure_ ? "DTLS-UDP" : "UDP";
}

void Transport::SetLimits(std::size_t maxConns, std::chrono::milliseconds idle) {
    wantedConns_ = maxConns > 0 ? maxConns : 1;
    idle_ = idle.count() > 0 ? idle : std::chrono::milliseconds(0);
    if (sock_.valid()) FitDescriptorLimit();
}

void Transport::FitDescriptorLimit() {
    maxConns_ = wantedConns_;
    if (!stream_ && !secure_) return; // plain UDP keeps no connections
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return;
    rlim_t need = static_cast<rlim_t>(wantedConns_ + kSpareDescriptors);
    if (stream_ && rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < need) {
        rlimit more = rl;
        more.rlim_cur = rl.rlim_max == RLIM_INFINITY || rl.rlim_max >= need ? need : rl.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &more) == 0) rl = more;
        if (rl.rlim_cur < need) {
            std::size_t cur = static_cast<std::size_t>(rl.rlim_cur);
            maxConns_ = cur > 2 * kSpareDescriptors ? cur - kSpareDescriptors : cur / 2;
            if (maxConns_ == 0) maxConns_ = 1;
        }
    }
    char idle[32];
    if (idle_.count() > 0)
        snprintf(idle, sizeof idle, "%.1f s", static_cast<double>(idle_.count()) / 1000.0);
    else
        snprintf(idle, sizeof idle, "none");
    Trace("%s on port %d: connection limit %zu (asked %zu), idle limit %s, descriptor limit %lld",
          ViaName(), boundPort_, maxConns_, wantedConns_, idle,
          rl.rlim_cur == RLIM_INFINITY ? -1LL : static_cast<long long>(rl.rlim_cur));
}

int Transport::Open(const char* address, int port) {
    if (protocol_ != IPPROTO_UDP && protocol_ != IPPROTO_TCP) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (address && *address && inet_pton(AF_INET, address, &a.sin_addr) != 1) return -1;
    UniqueSocket s(socket(AF_INET, (stream_ ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0));
    if (!s.valid()) return -1;
    int one = 1;
    if (stream_) setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (!stream_) {
        int sz = 1 << 20;
        setsockopt(s.get(), SOL_SOCKET, SO_RCVBUF, &sz, sizeof sz);
    }
    if (bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return -1;
    if (stream_ && listen(s.get(), 128) != 0) return -1;
    if (!SetNonBlocking(s.get())) return -1;
    socklen_t len = sizeof a;
    getsockname(s.get(), reinterpret_cast<sockaddr*>(&a), &len);
    if (secure_) {
        if (EnsureCertificate(kCertFileName, kKeyFileName) != 0) return -1;
        serverCtx_ = SSL_CTX_new(stream_ ? TLS_server_method() : DTLS_server_method());
        clientCtx_ = SSL_CTX_new(stream_ ? TLS_client_method() : DTLS_client_method());
        if (!serverCtx_ || !clientCtx_ ||
            SSL_CTX_use_certificate_chain_file(serverCtx_, kCertFileName) != 1 ||
            SSL_CTX_use_PrivateKey_file(serverCtx_, kKeyFileName, SSL_FILETYPE_PEM) != 1 ||
            SSL_CTX_check_private_key(serverCtx_) != 1) {
            Close();
            return -1;
        }
        // Devices present self-signed certificates; we do not verify them.
        SSL_CTX_set_verify(clientCtx_, SSL_VERIFY_NONE, nullptr);
    }
    boundPort_ = ntohs(a.sin_port);
    sock_ = std::move(s);
    if (stream_ || secure_)
        FitDescriptorLimit();
    else
        Trace("UDP on port %d", boundPort_);
    return 0;
}

void Transport::Close() {
    conns_.clear();
    aliases_.clear();
    sock_.reset();
    if (serverCtx_) SSL_CTX_free(serverCtx_);
    if (clientCtx_) SSL_CTX_free(clientCtx_);
    serverCtx_ = clientCtx_ = nullptr;
    boundPort_ = 0;
}

void Transport::CollectFds(std::vector<pollfd>& fds) const {
    if (!sock_.valid()) return;
    if (!stream_ || std::chrono::steady_clock::now() >= acceptPausedUntil_)
        fds.push_back({sock_.get(), POLLIN, 0});
    if (!stream_) return;
    for (const auto& [id, c] : conns_)
        if (!c->dead && c->fd.valid()) fds.push_back({c->fd.get(), POLLIN, 0});
}

std::size_t Transport::Count() const {
    std::size_t n = 0;
    for (const auto& [id, c] : conns_)
        if (!c->dead) ++n;
    return n;
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

void Transport::HandleReady(const std::vector<pollfd>& fds,
                            const std::function<void(Datagram&)>& deliver) {
    for (const pollfd& p : fds) {
        if (!p.revents) continue;
        if (p.fd == sock_.get()) {
            if (stream_)
                while (AcceptOne() == 0) {
                }
            else
                ReadUdp(deliver);
            continue;
        }
        for (auto& [id, c] : conns_) {
            if (c->fd.get() == p.fd && !c->dead) {
                ReadConn(*c, deliver);
                break;
            }
        }
    }
    Sweep();
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

void Transport::ReadUdp(const std::function<void(Datagram&)>& deliver) {
    static thread_local char buf[65536];
    for (int i = 0; i < 256; ++i) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        long n =
            recvfrom(sock_.get(), buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) return;
        if (n == 0) continue;
        if (secure_) {
            DtlsInput(std::string(buf, static_cast<std::size_t>(n)), from, deliver);
            continue;
        }
        Datagram d;
        d.data.assign(buf, static_cast<std::size_t>(n));
        d.host = HostOf(from);
        d.port = ntohs(from.sin_port);
        deliver(d);
    }
}

void Transport::DtlsInput(const std::string& pkt, const sockaddr_in& from,
                          const std::function<void(Datagram&)>& deliver) {
    std::string host = HostOf(from);
    int port = ntohs(from.sin_port);
    Conn* c = nullptr;
    for (auto& [id, x] : conns_)
        if (!x->dead && x->host == host && x->port == port) c = x.get();
    if (!c) {
        // A record that is not a ClientHello cannot start a session.
        if (pkt.size() < 14 || static_cast<unsigned char>(pkt[0]) != 22) return;
        if (Count() >= maxConns_ && !MakeRoom("session limit reached")) return;
        auto n = std::make_unique<Conn>();
        n->id = nextConn_++;
        n->peer = from;
        n->host = host;
        n->port = port;
        n->ssl = SSL_new(serverCtx_);
        if (!n->ssl) return;
        n->rbio = BIO_new(BIO_s_mem());
        n->wbio = BIO_new(BIO_s_mem());
        BIO_set_mem_eof_return(n->rbio, -1);
        SSL_set_bio(n->ssl, n->rbio, n->wbio);
        SSL_set_options(n->ssl, SSL_OP_NO_QUERY_MTU);
        SSL_set_mtu(n->ssl, 1400);
        SSL_set_accept_state(n->ssl);
        c = &Adopt(std::move(n), "(DTLS) from");
    }
    c->last = Now();
    BIO_write(c->rbio, pkt.data(), static_cast<int>(pkt.size()));
    if (!c->handshaken) {
        int r = SSL_do_handshake(c->ssl);
        if (r == 1) {
            c->handshaken = true;
        } else {
            int e = SSL_get_error(c->ssl, r);
            ERR_clear_error();
            FlushDtls(*c);
            if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) {
                c->dead = true;
                c->why = "DTLS handshake failed";
            }
            return;
        }
        for (const std::string& p : c->pending)
            SSL_write(c->ssl, p.data(), static_cast<int>(p.size()));
        c->pending.clear();
    }
    char buf[65536];
    for (;;) {
        int n = SSL_read(c->ssl, buf, sizeof buf);
        if (n <= 0) {
            int e = SSL_get_error(c->ssl, n);
            ERR_clear_error();
            if (e == SSL_ERROR_ZERO_RETURN ||
                (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE)) {
                c->dead = true;
                c->why = "closed by the peer";
            }
            break;
        }
        Datagram d;
        d.data.assign(buf, static_cast<std::size_t>(n));
        d.host = host;
        d.port = port;
        d.connId = c->id;
        c->carried = true;
        deliver(d);
    }
    FlushDtls(*c);
}

void Transport::FlushDtls(Conn& c) {
    char buf[65536];
    for (;;) {
        int n = BIO_read(c.wbio, buf, sizeof buf);
        if (n <= 0) break;
        sendto(sock_.get(), buf, static_cast<std::size_t>(n), 0,
               reinterpret_cast<const sockaddr*>(&c.peer), sizeof c.peer);
    }
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

int Transport::Send(const std::string& data, const std::string& host, int port, int connId) {
    if (!sock_.valid()) return -1;
    Conn* c = nullptr;
    if (connId > 0) {
        auto it = conns_.find(connId);
        if (it != conns_.end() && !it->second->dead) c = it->second.get();
    }
    if (!stream_ && !secure_) {
        sockaddr_in a{};
        if (!Resolve(host, port, &a) || port <= 0 || port > 65535) return -1;
        long n = sendto(sock_.get(), data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&a),
                        sizeof a);
        return n == static_cast<long>(data.size()) ? 0 : -1;
    }
    if (!c) c = FindConn(host, port);
    if (!stream_) {
        // DTLS: only sessions that a peer opened towards us.
        if (!c) return -1;
        if (!c->handshaken) {
            c->pending.push_back(data);
            return 0;
        }
        int n = SSL_write(c->ssl, data.data(), static_cast<int>(data.size()));
        FlushDtls(*c);
        if (n > 0) c->last = Now();
        return n > 0 ? 0 : -1;
    }
    if (!c) {
        int id = ConnectTo(host, port);
        if (id < 0) return -1;
        c = conns_[id].get();
    }
    if (!c->handshaken) return -1;
    return WriteAll(*c, data.data(), data.size());
}

} // namespace sipua

// The SIP transport: its socket, the poll loop and sending, shared by UDP,
// TCP, TLS and DTLS.
#include "sip/ua/TransportImpl.h"

namespace sipua {

using namespace transport_detail;

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

int Transport::Send(const std::string& data, const std::string& host, int port, int connId) {
    if (!sock_.valid()) return -1;
    Conn* c = nullptr;
    if (connId > 0) {
        auto it = conns_.find(connId);
        if (it != conns_.end() && !it->second->dead) c = it->second.get();
    }
    if (!stream_ && !secure_) return SendUdp(data, host, port);
    if (!c) c = FindConn(host, port);
    if (!stream_) return SendDtls(data, c);
    return SendStream(data, host, port, c);
}

} // namespace sipua

// TLS and DTLS: the certificate made at first use, and DTLS sessions on the
// UDP socket.
#include "sip/ua/TransportImpl.h"

namespace sipua {

using namespace transport_detail;

const char* const kCertFileName = "tarvex-sip.crt";
const char* const kKeyFileName = "tarvex-sip.key";

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

int Transport::SendDtls(const std::string& data, Conn* c) {
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

} // namespace sipua

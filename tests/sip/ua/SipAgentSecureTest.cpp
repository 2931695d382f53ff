// TLS and DTLS: our own OpenSSL client plays the device (Debian's SIPp has no TLS).

#include <gtest/gtest.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <climits>
#include <cstring>
#include <fstream>
#include <sstream>

#include "UaTestSupport.h"

using namespace uatest;
using sipua::EventKind;
using sipua::MessagePtr;

namespace {

std::string ReadFile(const std::string& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// A TLS (over TCP) or DTLS (over UDP) client on 127.0.0.1.
class SecureClient {
public:
    SecureClient(int port, bool dtls) : dtls_(dtls) {
        ctx_ = SSL_CTX_new(dtls ? DTLS_client_method() : TLS_client_method());
        fd_ = socket(AF_INET, dtls ? SOCK_DGRAM : SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return;
        sockaddr_in l{};
        socklen_t len = sizeof l;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&l), &len);
        localPort_ = ntohs(l.sin_port);
        timeval tv{10, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ssl_ = SSL_new(ctx_);
        if (dtls) {
            BIO* bio = BIO_new_dgram(fd_, BIO_NOCLOSE);
            BIO_ctrl(bio, BIO_CTRL_DGRAM_SET_CONNECTED, 0, &a);
            SSL_set_bio(ssl_, bio, bio);
        } else {
            SSL_set_fd(ssl_, fd_);
        }
        ok_ = SSL_connect(ssl_) == 1;
        if (ok_) {
            X509* peer = SSL_get1_peer_certificate(ssl_);
            if (peer) {
                char cn[256] = {};
                X509_NAME_get_text_by_NID(X509_get_subject_name(peer), NID_commonName, cn,
                                          sizeof cn);
                peerCn_ = cn;
                X509_free(peer);
            }
        }
    }
    ~SecureClient() {
        if (ssl_) {
            SSL_shutdown(ssl_);
            SSL_free(ssl_);
        }
        if (fd_ >= 0) close(fd_);
        SSL_CTX_free(ctx_);
    }
    bool ok() const { return ok_; }
    int LocalPort() const { return localPort_; }
    const std::string& PeerCn() const { return peerCn_; }
    bool Send(const std::string& s) {
        return SSL_write(ssl_, s.data(), static_cast<int>(s.size())) > 0;
    }
    // One SIP message (by Content-Length), "" on timeout.
    std::string RecvMessage() {
        for (int tries = 0; tries < 50; ++tries) {
            std::size_t he = buf_.find("\r\n\r\n");
            if (he != std::string::npos) {
                std::size_t cl = 0;
                std::size_t p = buf_.find("Content-Length:");
                if (p != std::string::npos && p < he)
                    cl = std::strtoul(buf_.c_str() + p + 15, nullptr, 10);
                if (buf_.size() >= he + 4 + cl) {
                    std::string m = buf_.substr(0, he + 4 + cl);
                    buf_.erase(0, he + 4 + cl);
                    return m;
                }
            }
            char b[65536];
            int n = SSL_read(ssl_, b, sizeof b);
            if (n <= 0) {
                ERR_clear_error();
                return "";
            }
            buf_.append(b, static_cast<std::size_t>(n));
        }
        return "";
    }

private:
    bool dtls_;
    SSL_CTX* ctx_ = nullptr;
    SSL* ssl_ = nullptr;
    int fd_ = -1;
    int localPort_ = 0;
    bool ok_ = false;
    std::string peerCn_;
    std::string buf_;
};

std::string SecureRequest(const std::string& method, const char* via, int agentPort, int port,
                          const std::string& callId, const std::string& body = "") {
    std::string m = DeviceRequest(method, agentPort, port, callId, "z9hG4bK" + callId, body);
    m.replace(m.find("SIP/2.0/UDP"), 11, std::string("SIP/2.0/") + via);
    return m;
}

std::string AnswerTo(const std::string& req) {
    std::string ans = "SIP/2.0 200 OK\r\n";
    for (const char* h : {"Via:", "From:", "To:", "Call-ID:", "CSeq:"}) {
        std::size_t p = req.find(std::string("\r\n") + h);
        if (p == std::string::npos) return "";
        ans += req.substr(p + 2, req.find("\r\n", p + 2) - p);
    }
    return ans + "Content-Length: 0\r\n\r\n";
}

class Secure : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tarvex-sipua-XXXXXX";
        ASSERT_TRUE(mkdtemp(tmpl));
        dir_ = tmpl;
        char cwd[PATH_MAX];
        ASSERT_TRUE(getcwd(cwd, sizeof cwd));
        oldCwd_ = cwd;
        ASSERT_EQ(chdir(dir_.c_str()), 0);
    }
    void TearDown() override {
        if (chdir(oldCwd_.c_str()) != 0) ADD_FAILURE();
        unlink((dir_ + "/" + sipua::kCertFileName).c_str());
        unlink((dir_ + "/" + sipua::kKeyFileName).c_str());
        rmdir(dir_.c_str());
    }
    void Start(sipua::SipAgent& ua, int protocol) {
        ASSERT_EQ(ua.Init(), 0);
        ASSERT_EQ(ua.Listen(protocol, "127.0.0.1", 0, AF_INET, true), 0);
        ua.SetUserAgent("Tarvex\r\n");
    }
    std::string dir_, oldCwd_;
};

TEST_F(Secure, TlsCertificateIsMadeOnceAndKept) {
    std::string cert, key;
    {
        sipua::SipAgent ua;
        Start(ua, IPPROTO_TCP);
        cert = ReadFile(sipua::kCertFileName);
        key = ReadFile(sipua::kKeyFileName);
        EXPECT_NE(cert.find("BEGIN CERTIFICATE"), std::string::npos);
        EXPECT_NE(key.find("PRIVATE KEY"), std::string::npos);
        struct stat st {};
        ASSERT_EQ(stat(sipua::kKeyFileName, &st), 0);
        EXPECT_EQ(st.st_mode & 077, 0u) << "the key is readable by its owner only";
        SecureClient c(ua.BoundPort(), false);
        ASSERT_TRUE(c.ok());
        EXPECT_EQ(c.PeerCn(), "Tarvex SIP");
    }
    sipua::SipAgent again;
    Start(again, IPPROTO_TCP);
    EXPECT_EQ(ReadFile(sipua::kCertFileName), cert);
    EXPECT_EQ(ReadFile(sipua::kKeyFileName), key);
}

TEST_F(Secure, TlsUsesTheCertificateFoundInTheWorkingDirectory) {
    // An RSA pair of the operator's, named as the README says.
    EVP_PKEY* k = EVP_RSA_gen(2048);
    ASSERT_TRUE(k);
    X509* x = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(x), 7);
    X509_gmtime_adj(X509_getm_notBefore(x), 0);
    X509_gmtime_adj(X509_getm_notAfter(x), 3600);
    X509_set_pubkey(x, k);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(x), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Operator Cert"), -1, -1, 0);
    X509_set_issuer_name(x, X509_get_subject_name(x));
    ASSERT_GT(X509_sign(x, k, EVP_sha256()), 0);
    FILE* cf = fopen(sipua::kCertFileName, "w");
    FILE* kf = fopen(sipua::kKeyFileName, "w");
    PEM_write_X509(cf, x);
    PEM_write_PrivateKey(kf, k, nullptr, nullptr, 0, nullptr, nullptr);
    fclose(cf);
    fclose(kf);
    X509_free(x);
    EVP_PKEY_free(k);
    sipua::SipAgent ua;
    Start(ua, IPPROTO_TCP);
    SecureClient c(ua.BoundPort(), false);
    ASSERT_TRUE(c.ok());
    EXPECT_EQ(c.PeerCn(), "Operator Cert");
}

TEST_F(Secure, BrokenCertificateFilesMakeListenFail) {
    { std::ofstream(sipua::kCertFileName) << "not a certificate"; }
    { std::ofstream(sipua::kKeyFileName) << "not a key"; }
    sipua::SipAgent ua;
    ASSERT_EQ(ua.Init(), 0);
    EXPECT_NE(ua.Listen(IPPROTO_TCP, "127.0.0.1", 0, AF_INET, true), 0);
}

TEST_F(Secure, TlsRegisterAndMessageBothWays) {
    sipua::SipAgent ua;
    Start(ua, IPPROTO_TCP);
    int port = ua.BoundPort();
    SecureClient dev(port, false);
    ASSERT_TRUE(dev.ok());
    ASSERT_TRUE(dev.Send(SecureRequest("REGISTER", "TLS", port, 5996, "tls-reg")));
    auto reg = WaitFor(ua, Kind(EventKind::OutOfCallRequest), 10000);
    ASSERT_TRUE(reg);
    EXPECT_EQ(Method(reg->request.get()), "REGISTER");
    MessagePtr a;
    ASSERT_EQ(ua.BuildAnswer(reg->tid, 200, a), 0);
    osip_message_set_header(a.get(), "Date", "2026-12-08T01:02:03");
    ASSERT_EQ(ua.SendAnswer(reg->tid, 200, std::move(a)), 0);
    std::string ans = dev.RecvMessage();
    EXPECT_EQ(ans.rfind("SIP/2.0 200 OK\r\n", 0), 0u) << ans;
    EXPECT_NE(ans.find("Date: 2026-12-08T01:02:03\r\n"), std::string::npos);
    EXPECT_NE(ans.find("User-Agent: Tarvex\r\n"), std::string::npos);

    // The device's MESSAGE, answered.
    ASSERT_TRUE(dev.Send(SecureRequest("MESSAGE", "TLS", port, 5996, "tls-msg", "<Notify/>")));
    auto msg = WaitFor(ua, Kind(EventKind::OutOfCallRequest), 10000);
    ASSERT_TRUE(msg);
    ASSERT_EQ(ua.SendAnswer(msg->tid, 200, nullptr), 0);
    EXPECT_NE(dev.RecvMessage().find("Call-ID: tls-msg"), std::string::npos);

    // Our MESSAGE travels on the device's connection.
    MessagePtr m;
    ASSERT_EQ(ua.BuildRequest(m, "MESSAGE", "<sip:34010000001320000001@127.0.0.1:5996>",
                              "<sip:34020000002000000001@127.0.0.1>", nullptr),
              0);
    const char* body = "<?xml version=\"1.0\"?>\r\n<Query/>\r\n";
    osip_message_set_body(m.get(), body, strlen(body));
    int tid = ua.SendRequest(std::move(m));
    ASSERT_GT(tid, 0);
    std::string req = dev.RecvMessage();
    ASSERT_EQ(req.rfind("MESSAGE ", 0), 0u) << req;
    EXPECT_NE(req.find("Via: SIP/2.0/TLS "), std::string::npos);
    ASSERT_TRUE(dev.Send(AnswerTo(req)));
    auto e = WaitFor(
        ua, [tid](const sipua::Event& ev) { return ev.tid == tid; }, 10000);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->kind, EventKind::OutOfCallAnswered);
}

TEST_F(Secure, TlsPeerThatFailsTheHandshakeIsDropped) {
    sipua::SipAgent ua;
    Start(ua, IPPROTO_TCP);
    int port = ua.BoundPort();
    {
        // Plain SIP on the TLS port is not a handshake.
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        std::string m = SecureRequest("MESSAGE", "TLS", port, 5996, "plain", "<Notify/>");
        send(fd, m.data(), m.size(), MSG_NOSIGNAL);
        pollfd p{fd, POLLIN, 0};
        char b[512];
        bool closed = poll(&p, 1, 3000) > 0 && recv(fd, b, sizeof b, 0) <= 0;
        EXPECT_TRUE(closed);
        close(fd);
    }
    EXPECT_FALSE(WaitFor(
        ua, [](const sipua::Event&) { return true; }, 200));
    SecureClient dev(port, false);
    ASSERT_TRUE(dev.ok());
    ASSERT_TRUE(dev.Send(SecureRequest("MESSAGE", "TLS", port, 5996, "after", "<Notify/>")));
    EXPECT_TRUE(WaitFor(ua, Kind(EventKind::OutOfCallRequest), 10000));
}

TEST_F(Secure, DtlsListensAndExchangesMessages) {
    sipua::SipAgent ua;
    Start(ua, IPPROTO_UDP);
    int port = ua.BoundPort();
    SecureClient dev(port, true);
    ASSERT_TRUE(dev.ok());
    EXPECT_EQ(dev.PeerCn(), "Tarvex SIP");
    ASSERT_TRUE(dev.Send(
        SecureRequest("MESSAGE", "DTLS-UDP", port, dev.LocalPort(), "dtls-1", "<Notify/>")));
    auto e = WaitFor(ua, Kind(EventKind::OutOfCallRequest), 10000);
    ASSERT_TRUE(e);
    EXPECT_STREQ(e->request->call_id->number, "dtls-1");
    ASSERT_EQ(ua.SendAnswer(e->tid, 200, nullptr), 0);
    std::string ans = dev.RecvMessage();
    EXPECT_EQ(ans.rfind("SIP/2.0 200 OK\r\n", 0), 0u) << ans;

    MessagePtr m;
    std::string to = "<sip:34010000001320000001@127.0.0.1:" + std::to_string(dev.LocalPort()) + ">";
    ASSERT_EQ(
        ua.BuildRequest(m, "MESSAGE", to.c_str(), "<sip:34020000002000000001@127.0.0.1>", nullptr),
        0);
    int tid = ua.SendRequest(std::move(m));
    ASSERT_GT(tid, 0);
    std::string req = dev.RecvMessage();
    ASSERT_EQ(req.rfind("MESSAGE ", 0), 0u) << req;
    EXPECT_NE(req.find("Via: SIP/2.0/DTLS-UDP "), std::string::npos);
    ASSERT_TRUE(dev.Send(AnswerTo(req)));
    auto a = WaitFor(
        ua, [tid](const sipua::Event& ev) { return ev.tid == tid; }, 10000);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->kind, EventKind::OutOfCallAnswered);
}

TEST_F(Secure, DtlsIgnoresPlainDatagrams) {
    sipua::SipAgent ua;
    Start(ua, IPPROTO_UDP);
    int port = ua.BoundPort();
    RawUdp raw;
    raw.SendTo(port,
               DeviceRequest("MESSAGE", port, raw.Port(), "plain", "z9hG4bKplain", "<Notify/>"));
    raw.SendTo(port, std::string("\x16\xfe\xfd garbage that looks like a record header", 40));
    EXPECT_EQ(raw.Recv(300), "");
    EXPECT_FALSE(WaitFor(
        ua, [](const sipua::Event&) { return true; }, 200));
    SecureClient dev(port, true);
    ASSERT_TRUE(dev.ok());
    ASSERT_TRUE(
        dev.Send(SecureRequest("MESSAGE", "DTLS-UDP", port, dev.LocalPort(), "ok", "<Notify/>")));
    EXPECT_TRUE(WaitFor(ua, Kind(EventKind::OutOfCallRequest), 10000));
}

} // namespace

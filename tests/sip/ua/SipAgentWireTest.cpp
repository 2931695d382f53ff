// The user agent against raw sockets: retransmissions, rport, timers, bad input,
// stream framing and connection handling.

#include <gtest/gtest.h>

#include <netinet/tcp.h>
#include <sys/resource.h>
#include <openssl/evp.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <random>

#include "UaTestSupport.h"
#include "base/Socket.h"

using namespace uatest;
using sipua::EventKind;
using sipua::MessagePtr;

namespace {

class TcpClient {
public:
    explicit TcpClient(int port) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ok_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~TcpClient() {
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return ok_; }
    void Send(const std::string& s) { ::send(fd_, s.data(), s.size(), MSG_NOSIGNAL); }
    // Reads until one whole message (by Content-Length) is there; "" on timeout
    // or when the peer closed; *closed tells which.
    std::string RecvMessage(int timeoutMs, bool* closed = nullptr) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
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
            int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            end - std::chrono::steady_clock::now())
                                            .count());
            if (left <= 0) return "";
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, left) <= 0) continue;
            char b[8192];
            long n = recv(fd_, b, sizeof b, 0);
            if (n <= 0) {
                if (closed) *closed = true;
                return "";
            }
            buf_.append(b, static_cast<std::size_t>(n));
        }
    }
    void Reset() {
        linger l{1, 0};
        setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
    bool ok_ = false;
    std::string buf_;
};

std::string TcpRequest(const std::string& method, int agentPort, int viaPort,
                       const std::string& callId, const std::string& body = "") {
    std::string m = DeviceRequest(method, agentPort, viaPort, callId, "z9hG4bK" + callId, body);
    std::size_t p = m.find("SIP/2.0/UDP");
    m.replace(p, 11, "SIP/2.0/TCP");
    return m;
}

class Agent : public ::testing::Test {
protected:
    void Start(int protocol) {
        ASSERT_EQ(ua.Init(), 0);
        ASSERT_EQ(ua.Listen(protocol, "127.0.0.1", 0, AF_INET, false), 0);
        ua.SetUserAgent("  Tarvex\r\n");
        port = ua.BoundPort();
    }
    // Expects one MESSAGE event with callId and answers it 200.
    void ServeOne(const std::string& callId) {
        auto e = WaitFor(ua, Kind(EventKind::OutOfCallRequest), 10000);
        ASSERT_TRUE(e) << "no event for " << callId;
        ASSERT_TRUE(e->request && e->request->call_id);
        EXPECT_STREQ(e->request->call_id->number, callId.c_str());
        EXPECT_EQ(ua.SendAnswer(e->tid, 200, nullptr), 0);
    }
    // A MESSAGE from us to a device at 127.0.0.1:devPort.
    MessagePtr MessageTo(int devPort) {
        MessagePtr m;
        std::string to = "<sip:34010000001320000001@127.0.0.1:" + std::to_string(devPort) + ">";
        EXPECT_EQ(ua.BuildRequest(m, "MESSAGE", to.c_str(), "<sip:34020000002000000001@127.0.0.1>",
                                  nullptr),
                  0);
        return m;
    }
    // The connection clock runs offset seconds ahead of the real one.
    void UseTestClock() {
        ua.SetConnectionClock([this] {
            return std::chrono::steady_clock::now() + std::chrono::seconds(offset.load());
        });
    }
    // Waits until the agent holds n connections; the count it ends with.
    int WaitConnections(int n) {
        for (int i = 0; i < 1000 && ua.ConnectionCount() != n; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return ua.ConnectionCount();
    }
    sipua::SipAgent ua;
    int port = 0;
    std::atomic<long> offset{0};
};

TEST_F(Agent, ListenReportsFailures) {
    ASSERT_EQ(ua.Init(), 0);
    EXPECT_NE(ua.Listen(IPPROTO_UDP, "127.0.0.1", 0, AF_INET6, false), 0);
    EXPECT_NE(ua.Listen(IPPROTO_ICMP, "127.0.0.1", 0, AF_INET, false), 0);
    EXPECT_NE(ua.Listen(IPPROTO_UDP, "not-an-address", 0, AF_INET, false), 0);
    RawUdp busy;
    EXPECT_NE(ua.Listen(IPPROTO_UDP, "127.0.0.1", busy.Port(), AF_INET, false), 0);
    EXPECT_EQ(ua.BoundPort(), 0);
    EXPECT_EQ(ua.Listen(IPPROTO_UDP, "127.0.0.1", 0, AF_INET, false), 0);
    EXPECT_GT(ua.BoundPort(), 0);
    // One listen per context.
    EXPECT_NE(ua.Listen(IPPROTO_TCP, "127.0.0.1", 0, AF_INET, false), 0);
    ua.Shutdown();
    ua.Shutdown();
    EXPECT_EQ(ua.BoundPort(), 0);
}

TEST_F(Agent, RetransmittedMessageGetsTheSameAnswerWithoutASecondEvent) {
    Start(IPPROTO_UDP);
    RawUdp dev;
    std::string req =
        DeviceRequest("MESSAGE", port, dev.Port(), "retr-1", "z9hG4bKretr1", "<Notify/>");
    dev.SendTo(port, req);
    auto e = WaitFor(ua, Kind(EventKind::OutOfCallRequest), 10000);
    ASSERT_TRUE(e);
    MessagePtr a;
    ASSERT_EQ(ua.BuildAnswer(e->tid, 200, a), 0);
    osip_message_set_header(a.get(), "Date", "2026-12-08T01:02:03");
    ASSERT_EQ(ua.SendAnswer(e->tid, 200, std::move(a)), 0);
    std::string first = dev.Recv(10000);
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(first.rfind("SIP/2.0 200 OK\r\n", 0), 0u);
    EXPECT_NE(first.find("\r\nDate: 2026-12-08T01:02:03\r\n"), std::string::npos);
    EXPECT_NE(first.find("\r\nUser-Agent: Tarvex\r\n"), std::string::npos);
    EXPECT_NE(first.find(";tag="), std::string::npos);
    dev.SendTo(port, req);
    std::string again = dev.Recv(10000);
    EXPECT_EQ(again, first);
    EXPECT_FALSE(WaitFor(
        ua, [](const sipua::Event&) { return true; }, 700));
}

TEST_F(Agent, AnswerGoesToThePacketSourceAndRportIsFilled) {
    Start(IPPROTO_UDP);
    RawUdp dev;
    // The Via names a port nobody listens on; rport asks for the source port.
    std::string req = DeviceRequest("REGISTER", port, 5999, "rport-1", "z9hG4bKrport1");
    dev.SendTo(port, req);
    auto e = WaitFor(ua, Kind(EventKind::OutOfCallRequest), 10000);
    ASSERT_TRUE(e);
    auto* via = static_cast<osip_via_t*>(osip_list_get(&e->request->vias, 0));
    osip_generic_param_t* rp = nullptr;
    ASSERT_EQ(osip_via_param_get_byname(via, const_cast<char*>("rport"), &rp), 0);
    ASSERT_TRUE(rp->gvalue);
    EXPECT_EQ(atoi(rp->gvalue), dev.Port());
    ASSERT_EQ(ua.SendAnswer(e->tid, 200, nullptr), 0);
    std::string ans = dev.Recv(10000);
    EXPECT_EQ(ans.rfind("SIP/2.0 200 OK", 0), 0u);
    EXPECT_NE(ans.find("rport=" + std::to_string(dev.Port())), std::string::npos);
}

TEST_F(Agent, UnansweredMessageIsRetransmittedFromT1AndTimesOut) {
    Start(IPPROTO_UDP);
    RawUdp dev;
    MessagePtr m = MessageTo(dev.Port());
    ASSERT_TRUE(m);
    int tid = ua.SendRequest(std::move(m));
    ASSERT_GT(tid, 0);
    std::vector<double> at;
    auto t0 = std::chrono::steady_clock::now();
    std::string firstBranch;
    sipua::EventPtr timeout;
    while (!timeout && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(45)) {
        std::string got = dev.Recv(100);
        if (!got.empty()) {
            at.push_back(
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
            std::string br = got.substr(got.find("branch="), 30);
            if (firstBranch.empty()) firstBranch = br;
            EXPECT_EQ(br, firstBranch) << "a retransmission keeps its branch";
        }
        timeout = ua.WaitEvent(0, 0);
    }
    ASSERT_TRUE(timeout);
    EXPECT_EQ(timeout->kind, EventKind::OutOfCallNoAnswer);
    EXPECT_EQ(timeout->tid, tid);
    EXPECT_FALSE(timeout->response);
    // 0, 0.5, 1.5, 3.5, 7.5, then every 4 s until timer F (32 s).
    ASSERT_GE(at.size(), 8u);
    EXPECT_GT(at[1] - at[0], 0.35);
    EXPECT_GT(at[2] - at[1], 0.8);
    EXPECT_GT(at[3] - at[2], 1.7);
    EXPECT_GT(at[4] - at[3], 3.5);
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GT(elapsed, 30.0);
}

TEST_F(Agent, BadDatagramsAreDroppedOrAnswered400AndValidOnesStillServed) {
    Start(IPPROTO_UDP);
    RawUdp dev;
    int n = 0;
    auto valid = [&] {
        std::string id = "valid-" + std::to_string(++n);
        dev.SendTo(port,
                   DeviceRequest("MESSAGE", port, dev.Port(), id, "z9hG4bK" + id, "<Notify/>"));
        ServeOne(id);
        std::string a = dev.Recv(10000);
        EXPECT_EQ(a.rfind("SIP/2.0 200 OK", 0), 0u) << id;
    };
    auto expectNothing = [&](const char* what) { EXPECT_EQ(dev.Recv(300), "") << what; };
    auto expect400 = [&](const char* what) {
        std::string a = dev.Recv(10000);
        EXPECT_EQ(a.rfind("SIP/2.0 400", 0), 0u) << what << ": " << a;
    };
    valid();
    dev.SendTo(port, "hello world\r\n");
    expectNothing("text");
    valid();
    std::mt19937 rng(7);
    std::string junk(1200, '\0');
    for (char& c : junk)
        c = static_cast<char>(rng());
    dev.SendTo(port, junk);
    dev.SendTo(port, junk + "\r\n\r\n");
    expectNothing("binary");
    valid();
    std::string noVia = DeviceRequest("MESSAGE", port, dev.Port(), "novia", "z9hG4bKnovia");
    noVia.erase(noVia.find("Via:"),
                noVia.find("\r\n", noVia.find("Via:")) + 2 - noVia.find("Via:"));
    dev.SendTo(port, noVia);
    expectNothing("no Via");
    valid();
    std::string noCallId = DeviceRequest("MESSAGE", port, dev.Port(), "x", "z9hG4bKnocid");
    noCallId.erase(noCallId.find("Call-ID:"), std::string("Call-ID: x\r\n").size());
    dev.SendTo(port, noCallId);
    expect400("no Call-ID");
    valid();
    std::string shortBody =
        DeviceRequest("MESSAGE", port, dev.Port(), "short", "z9hG4bKshort", "<Notify/>");
    shortBody.replace(shortBody.find("Content-Length: 9"), 17, "Content-Length: 90");
    dev.SendTo(port, shortBody);
    expect400("body shorter than Content-Length");
    valid();
    std::string badCl =
        DeviceRequest("MESSAGE", port, dev.Port(), "badcl", "z9hG4bKbadcl", "<Notify/>");
    badCl.replace(badCl.find("Content-Length: 9"), 17, "Content-Length: x9");
    dev.SendTo(port, badCl);
    expectNothing("malformed Content-Length");
    valid();
    std::string mismatch = DeviceRequest("MESSAGE", port, dev.Port(), "mism", "z9hG4bKmism");
    mismatch.replace(mismatch.find("CSeq: 1 MESSAGE"), 15, "CSeq: 1 INVITE");
    dev.SendTo(port, mismatch);
    expect400("CSeq method differs");
    valid();
    // A header close to the largest datagram.
    std::string big = DeviceRequest("MESSAGE", port, dev.Port(), "big", "z9hG4bKbig", "",
                                    "X-Big: " + std::string(64000, 'a') + "\r\n");
    dev.SendTo(port, big);
    {
        auto e = WaitFor(ua, Kind(EventKind::OutOfCallRequest), 10000);
        ASSERT_TRUE(e) << "a header section under 64 KiB is taken";
        EXPECT_STREQ(e->request->call_id->number, "big");
        ua.SendAnswer(e->tid, 200, nullptr);
        EXPECT_EQ(dev.Recv(10000).rfind("SIP/2.0 200 OK", 0), 0u);
    }
    valid();
    // A longer body than announced is cut to Content-Length.
    std::string longBody =
        DeviceRequest("MESSAGE", port, dev.Port(), "long", "z9hG4bKlong", "<Notify/>");
    longBody += "TRAILING";
    dev.SendTo(port, longBody);
    auto e = WaitFor(ua, Kind(EventKind::OutOfCallRequest), 10000);
    ASSERT_TRUE(e);
    osip_body_t* b = nullptr;
    osip_message_get_body(e->request.get(), 0, &b);
    ASSERT_TRUE(b);
    EXPECT_EQ(std::string(b->body, b->length), "<Notify/>");
    ua.SendAnswer(e->tid, 200, nullptr);
    dev.Recv(10000);
    valid();
    EXPECT_FALSE(WaitFor(
        ua, [](const sipua::Event&) { return true; }, 300))
        << "no event from bad input";
}

TEST_F(Agent, StreamMessagesAreFramedByContentLengthAndAnsweredOnTheirConnection) {
    Start(IPPROTO_TCP);
    TcpClient c(port);
    ASSERT_TRUE(c.ok());
    std::string a = TcpRequest("MESSAGE", port, 5998, "s1", "<Notify>1</Notify>");
    std::string b = TcpRequest("MESSAGE", port, 5998, "s2", "<Notify>2</Notify>");
    std::string d = TcpRequest("MESSAGE", port, 5998, "s3", "<Notify>3</Notify>");
    c.Send("\r\n\r\n" + a + b); // keep-alives, then two messages in one segment
    for (std::size_t i = 0; i < d.size(); i += 7) {
        c.Send(d.substr(i, 7));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (const char* id : {"s1", "s2", "s3"}) {
        auto e = WaitFor(ua, Kind(EventKind::OutOfCallRequest), 10000);
        ASSERT_TRUE(e) << id;
        EXPECT_STREQ(e->request->call_id->number, id);
        osip_body_t* body = nullptr;
        osip_message_get_body(e->request.get(), 0, &body);
        ASSERT_TRUE(body);
        EXPECT_EQ(std::string(body->body, body->length),
                  std::string("<Notify>") + id[1] + "</Notify>");
        ASSERT_EQ(ua.SendAnswer(e->tid, 200, nullptr), 0);
        std::string ans = c.RecvMessage(10000);
        EXPECT_EQ(ans.rfind("SIP/2.0 200 OK", 0), 0u);
        EXPECT_NE(ans.find(std::string("Call-ID: ") + id), std::string::npos);
    }
}

TEST_F(Agent, BrokenConnectionsNeverTakeTheListenerDown) {
    Start(IPPROTO_TCP);
    {
        TcpClient junk(port);
        junk.Send("this is not SIP at all\r\n\r\n");
        junk.Send(std::string(1000, '\x01'));
    }
    {
        TcpClient reset(port);
        std::string half = TcpRequest("MESSAGE", port, 5998, "half", "<Notify/>");
        reset.Send(half.substr(0, half.size() / 2));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        reset.Reset();
    }
    {
        // A header section that never ends: the connection is closed at 64 KiB.
        TcpClient huge(port);
        std::string start = "MESSAGE sip:x@127.0.0.1 SIP/2.0\r\nX-Big: ";
        huge.Send(start);
        for (int i = 0; i < 70; ++i)
            huge.Send(std::string(1024, 'b'));
        bool closed = false;
        huge.RecvMessage(10000, &closed);
        EXPECT_TRUE(closed);
    }
    {
        TcpClient badLength(port);
        std::string m = TcpRequest("MESSAGE", port, 5998, "badlen", "<Notify/>");
        m.replace(m.find("Content-Length: 9"), 17, "Content-Length: -9");
        badLength.Send(m);
        bool closed = false;
        badLength.RecvMessage(10000, &closed);
        EXPECT_TRUE(closed);
    }
    TcpClient good(port);
    ASSERT_TRUE(good.ok());
    good.Send(TcpRequest("MESSAGE", port, 5998, "after", "<Notify/>"));
    ServeOne("after");
    EXPECT_EQ(good.RecvMessage(10000).rfind("SIP/2.0 200 OK", 0), 0u);
    EXPECT_FALSE(WaitFor(
        ua, [](const sipua::Event&) { return true; }, 300));
}

TEST_F(Agent, RequestToADeviceReusesItsOpenConnection) {
    Start(IPPROTO_TCP);
    TcpClient dev(port);
    ASSERT_TRUE(dev.ok());
    // The device says it is at port 5997 but nothing listens there: the
    // request must travel on the device's own connection.
    dev.Send(TcpRequest("REGISTER", port, 5997, "reg-tcp"));
    auto reg = WaitFor(ua, Kind(EventKind::OutOfCallRequest), 10000);
    ASSERT_TRUE(reg);
    ASSERT_EQ(ua.SendAnswer(reg->tid, 200, nullptr), 0);
    ASSERT_FALSE(dev.RecvMessage(10000).empty());
    MessagePtr m;
    ASSERT_EQ(ua.BuildRequest(m, "MESSAGE", "<sip:34010000001320000001@127.0.0.1:5997>",
                              "<sip:34020000002000000001@127.0.0.1>", nullptr),
              0);
    int tid = ua.SendRequest(std::move(m));
    ASSERT_GT(tid, 0);
    std::string req = dev.RecvMessage(10000);
    ASSERT_EQ(req.rfind("MESSAGE sip:34010000001320000001@127.0.0.1:5997 SIP/2.0\r\n", 0), 0u)
        << req;
    EXPECT_NE(req.find("Via: SIP/2.0/TCP 127.0.0.1:"), std::string::npos);
    // Answer it as the device: copy Via, From, To, Call-ID, CSeq.
    std::string ans = "SIP/2.0 200 OK\r\n";
    for (const char* h : {"Via:", "From:", "To:", "Call-ID:", "CSeq:"}) {
        std::size_t p = req.find(std::string("\r\n") + h);
        ans += req.substr(p + 2, req.find("\r\n", p + 2) - p);
    }
    ans += "Content-Length: 0\r\n\r\n";
    dev.Send(ans);
    auto e = WaitFor(
        ua, [tid](const sipua::Event& ev) { return ev.tid == tid; }, 10000);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->kind, EventKind::OutOfCallAnswered);
}

TEST_F(Agent, RequestToAClosedPortOverTcpFailsWithoutHanging) {
    Start(IPPROTO_TCP);
    int dead = FreePort();
    MessagePtr m;
    std::string to = "<sip:34010000001320000001@127.0.0.1:" + std::to_string(dead) + ">";
    ASSERT_EQ(
        ua.BuildRequest(m, "MESSAGE", to.c_str(), "<sip:34020000002000000001@127.0.0.1>", nullptr),
        0);
    int tid = ua.SendRequest(std::move(m));
    // The transport error ends the transaction; it is reported as no answer.
    ASSERT_GT(tid, 0);
    auto e = WaitFor(
        ua, [tid](const sipua::Event& ev) { return ev.tid == tid; }, 10000);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->kind, EventKind::OutOfCallNoAnswer);
    // The listener still serves.
    TcpClient good(port);
    good.Send(TcpRequest("MESSAGE", port, 5998, "still", "<Notify/>"));
    ServeOne("still");
}

TEST_F(Agent, BuildCallsRefuseWhatTheyCannotBuild) {
    Start(IPPROTO_UDP);
    MessagePtr m;
    EXPECT_NE(ua.BuildRequest(m, "MESSAGE", "not a uri", "<sip:a@127.0.0.1>", nullptr), 0);
    EXPECT_NE(ua.BuildRequest(m, "INVITE", "<sip:a@127.0.0.1>", "<sip:b@127.0.0.1>", nullptr), 0);
    EXPECT_NE(ua.BuildAnswer(12345, 200, m), 0);
    EXPECT_NE(ua.BuildCallAnswer(12345, 200, m), 0);
    EXPECT_NE(ua.BuildInfo(12345, m), 0);
    EXPECT_NE(ua.BuildAck(12345, m), 0);
    EXPECT_NE(ua.TerminateCall(12345, 0), 0);
    EXPECT_FALSE(ua.RemoteSdp(12345));
    EXPECT_FALSE(m);
    ASSERT_EQ(
        ua.BuildRequest(m, "MESSAGE", "<sip:a@127.0.0.1:5060>", "<sip:b@127.0.0.1:5080>", nullptr),
        0);
    std::string text = ToText(m.get());
    EXPECT_NE(text.find("User-Agent: Tarvex\r\n"), std::string::npos);
    EXPECT_NE(text.find(";rport;branch=z9hG4bK"), std::string::npos);
    EXPECT_NE(text.find("CSeq: 1 MESSAGE\r\n"), std::string::npos);
    EXPECT_EQ(text.find("Route:"), std::string::npos);
    EXPECT_NE(text.find("From: <sip:b@127.0.0.1:5080>;tag="), std::string::npos);
    // Two requests never share Call-ID, tag or branch.
    MessagePtr m2;
    ASSERT_EQ(
        ua.BuildRequest(m2, "MESSAGE", "<sip:a@127.0.0.1:5060>", "<sip:b@127.0.0.1:5080>", nullptr),
        0);
    EXPECT_STRNE(m->call_id->number, m2->call_id->number);
    osip_generic_param_t *t1 = nullptr, *t2 = nullptr;
    osip_from_get_tag(m->from, &t1);
    osip_from_get_tag(m2->from, &t2);
    EXPECT_STRNE(t1->gvalue, t2->gvalue);
}

} // namespace

namespace {

std::string Md5(const std::string& s) {
    unsigned char md[16];
    unsigned int n = 0;
    EVP_Digest(s.data(), s.size(), md, &n, EVP_md5(), nullptr);
    char out[33];
    for (int i = 0; i < 16; ++i)
        snprintf(out + 2 * i, 3, "%02x", md[i]);
    return out;
}

std::string Param(const std::string& hdr, const std::string& name) {
    std::size_t p = hdr.find(name + "=");
    if (p == std::string::npos) return "";
    p += name.size() + 1;
    bool q = hdr[p] == '"';
    if (q) ++p;
    std::size_t e = hdr.find_first_of(q ? "\"" : ", \r", p);
    return hdr.substr(p, e - p);
}

std::string Line(const std::string& msg, const std::string& name) {
    std::size_t p = msg.find("\r\n" + name + ": ");
    if (p == std::string::npos) return "";
    p += 4 + name.size();
    return msg.substr(p, msg.find("\r\n", p) - p);
}

std::string Reply(const std::string& req, const std::string& status, const std::string& extra) {
    std::string ans = "SIP/2.0 " + status + "\r\n";
    for (const char* h : {"Via", "From", "To", "Call-ID", "CSeq"})
        ans += std::string(h) + ": " + Line(req, h) + "\r\n";
    return ans + extra + "Content-Length: 0\r\n\r\n";
}

TEST_F(Agent, DefaultActionFollowsOneRedirectAndAnswersOneDigestChallenge) {
    Start(IPPROTO_UDP);
    ASSERT_EQ(ua.AddCredentials("34020000002000000001", nullptr, "secret", "3402000000"), 0);
    RawUdp first, second;
    MessagePtr m = MessageTo(first.Port());
    ASSERT_TRUE(m);
    ASSERT_GT(ua.SendRequest(std::move(m)), 0);
    std::string r1 = first.Recv(10000);
    ASSERT_FALSE(r1.empty());
    first.SendTo(port, Reply(r1, "302 Moved Temporarily",
                             "Contact: <sip:34010000001320000001@127.0.0.1:" +
                                 std::to_string(second.Port()) + ">\r\n"));
    auto red = WaitFor(ua, Kind(EventKind::OutOfCallRedirected), 10000);
    ASSERT_TRUE(red);
    EXPECT_EQ(ua.DefaultAction(*red), 0);
    std::string r2 = RecvCSeq(second, "2 MESSAGE", 10000);
    ASSERT_EQ(
        r2.rfind("MESSAGE sip:34010000001320000001@127.0.0.1:" + std::to_string(second.Port()), 0),
        0u)
        << r2;
    EXPECT_EQ(Line(r2, "CSeq"), "2 MESSAGE");
    EXPECT_EQ(Line(r2, "Call-ID"), Line(r1, "Call-ID"));
    EXPECT_NE(Param(Line(r2, "Via"), "branch"), Param(Line(r1, "Via"), "branch"));

    second.SendTo(
        port,
        Reply(r2, "401 Unauthorized",
              "WWW-Authenticate: Digest realm=\"3402000000\", nonce=\"abc123\", qop=\"auth\", "
              "algorithm=MD5\r\n"));
    auto ch = WaitFor(ua, Kind(EventKind::OutOfCallRejected), 10000);
    ASSERT_TRUE(ch);
    EXPECT_EQ(ua.DefaultAction(*ch), 0);
    std::string r3 = RecvCSeq(second, "3 MESSAGE", 10000);
    std::string auth = Line(r3, "Authorization");
    ASSERT_FALSE(auth.empty()) << r3;
    EXPECT_EQ(Line(r3, "CSeq"), "3 MESSAGE");
    std::string uri = Param(auth, "uri");
    std::string ha1 = Md5("34020000002000000001:3402000000:secret");
    std::string ha2 = Md5("MESSAGE:" + uri);
    std::string expect =
        Md5(ha1 + ":abc123:" + Param(auth, "nc") + ":" + Param(auth, "cnonce") + ":auth:" + ha2);
    EXPECT_EQ(Param(auth, "response"), expect);
    EXPECT_EQ(Param(auth, "username"), "34020000002000000001");

    // Challenged again with credentials: not retried. Redirected again: not followed.
    second.SendTo(port, Reply(r3, "401 Unauthorized",
                              "WWW-Authenticate: Digest realm=\"3402000000\", nonce=\"zzz\"\r\n"));
    auto again = WaitFor(ua, Kind(EventKind::OutOfCallRejected), 10000);
    ASSERT_TRUE(again);
    EXPECT_LT(ua.DefaultAction(*again), 0);
    EXPECT_EQ(RecvCSeq(second, "4 MESSAGE", 1000), "") << "no fourth attempt";
}

TEST_F(Agent, DefaultActionDoesNothingWithoutCredentialsOrForOtherAnswers) {
    Start(IPPROTO_UDP);
    RawUdp dev;
    MessagePtr m = MessageTo(dev.Port());
    ASSERT_TRUE(m);
    ASSERT_GT(ua.SendRequest(std::move(m)), 0);
    std::string r1 = dev.Recv(10000);
    dev.SendTo(port, Reply(r1, "407 Proxy Authentication Required",
                           "Proxy-Authenticate: Digest realm=\"x\", nonce=\"n\"\r\n"));
    auto ch = WaitFor(ua, Kind(EventKind::OutOfCallRejected), 10000);
    ASSERT_TRUE(ch);
    EXPECT_LT(ua.DefaultAction(*ch), 0);
    EXPECT_EQ(RecvCSeq(dev, "2 MESSAGE", 1000), "") << "no second attempt";
}

} // namespace

namespace {

TEST_F(Agent, RetransmittedInviteAfterOur200GivesNoSecondCall) {
    Start(IPPROTO_UDP);
    RawUdp dev;
    std::string inv = DeviceRequest(
        "INVITE", port, dev.Port(), "inv-retr", "z9hG4bKinvretr", "",
        "Contact: <sip:34010000001320000001@127.0.0.1:" + std::to_string(dev.Port()) + ">\r\n");
    dev.SendTo(port, inv);
    auto e = WaitFor(ua, Kind(EventKind::CallIncoming), 10000);
    ASSERT_TRUE(e);
    EXPECT_EQ(dev.Recv(10000).rfind("SIP/2.0 100 Trying", 0), 0u);
    ASSERT_EQ(ua.SendCallAnswer(e->tid, 200, nullptr), 0);
    std::string ok = dev.Recv(10000);
    ASSERT_EQ(ok.rfind("SIP/2.0 200 OK", 0), 0u);
    EXPECT_NE(ok.find("\r\nContact: <sip:"), std::string::npos);
    // Our 200 is "lost": the device sends its INVITE again and must get the 200 again.
    dev.SendTo(port, inv);
    std::string again = dev.Recv(10000);
    EXPECT_EQ(again.rfind("SIP/2.0 200 OK", 0), 0u) << again;
    EXPECT_FALSE(WaitFor(ua, Kind(EventKind::CallIncoming), 500));
    // Without an ACK the 200 keeps coming.
    EXPECT_EQ(dev.Recv(10000).rfind("SIP/2.0 200 OK", 0), 0u);
    std::string toTag = ok.substr(ok.find("\r\nTo: ") + 2);
    toTag = toTag.substr(0, toTag.find("\r\n"));
    std::string ackMsg =
        "ACK sip:34020000002000000001@127.0.0.1:" + std::to_string(port) +
        " SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" + std::to_string(dev.Port()) +
        ";rport;branch=z9hG4bKack1\r\nFrom: <sip:34010000001320000001@127.0.0.1:" +
        std::to_string(dev.Port()) + ">;tag=dev1\r\n" + toTag +
        "\r\nCall-ID: inv-retr\r\nCSeq: 1 ACK\r\nMax-Forwards: 70\r\nContent-Length: 0\r\n\r\n";
    dev.SendTo(port, ackMsg);
    auto ack = WaitFor(ua, Kind(EventKind::CallAckReceived), 10000);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->cid, e->cid);
    while (!dev.Recv(100).empty()) {
    }
    EXPECT_EQ(dev.Recv(2500), "") << "the ACK stops the repetitions";
}

} // namespace

namespace {

// A device behind NAT: its Via names a private address and port and asks for
// no rport; its answer to our request comes from yet another socket. Each
// event names the packet's own source. (SIPp checks the same over TCP.)
TEST_F(Agent, EventsNameThePacketSourceNotTheVia) {
    Start(IPPROTO_UDP);
    RawUdp dev, answerer;
    std::string reg = DeviceRequest("REGISTER", port, 5060, "nat-1", "z9hG4bKnat1");
    reg.replace(reg.find("127.0.0.1:5060;rport;"), 21, "192.168.1.64:5060;");
    dev.SendTo(port, reg);
    auto e = WaitFor(ua, Kind(EventKind::OutOfCallRequest), 10000);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->sourceHost, "127.0.0.1");
    EXPECT_EQ(e->sourcePort, dev.Port());

    MessagePtr m = MessageTo(dev.Port());
    ASSERT_TRUE(m);
    int tid = ua.SendRequest(std::move(m));
    ASSERT_GT(tid, 0);
    std::string got = RecvCSeq(dev, "1 MESSAGE", 10000);
    ASSERT_FALSE(got.empty());
    std::string ans = "SIP/2.0 200 OK\r\n";
    for (const char* h : {"Via:", "From:", "To:", "Call-ID:", "CSeq:"}) {
        std::size_t at = got.find(std::string("\r\n") + h);
        ans += got.substr(at + 2, got.find("\r\n", at + 2) - at);
    }
    answerer.SendTo(port, ans + "Content-Length: 0\r\n\r\n");
    auto a = WaitFor(
        ua, [tid](const sipua::Event& ev) { return ev.tid == tid; }, 10000);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->kind, EventKind::OutOfCallAnswered);
    EXPECT_EQ(a->sourceHost, "127.0.0.1");
    EXPECT_EQ(a->sourcePort, answerer.Port());
}

// A device that counts Content-Length in characters: over UDP the body is cut
// as declared and the whole datagram body is offered beside it; a TCP stream
// is framed by Content-Length alone.
TEST_F(Agent, LongerDatagramBodyIsCutAndOfferedWhole) {
    const std::string body =
        "<Notify><Name>\xe5\x89\x8d\xe9\x97\xa8</Name></Notify>"; // 2 chars, 6 bytes
    const std::size_t chars = body.size() - 4;
    auto request = [&](const char* via, const std::string& callId) {
        std::string m = DeviceRequest("MESSAGE", port, 5998, callId, "z9hG4bK" + callId, body);
        m.replace(m.find("SIP/2.0/UDP"), 11, std::string("SIP/2.0/") + via);
        m.replace(m.find("Content-Length: " + std::to_string(body.size())),
                  16 + std::to_string(body.size()).size(),
                  "Content-Length: " + std::to_string(chars));
        return m;
    };
    auto bodyOf = [](const sipua::Event& e) {
        osip_body_t* b = nullptr;
        osip_message_get_body(e.request.get(), 0, &b);
        return b ? std::string(b->body, b->length) : std::string();
    };
    {
        Start(IPPROTO_UDP);
        RawUdp dev;
        dev.SendTo(port, request("UDP", "cl-udp"));
        auto e = WaitFor(ua, Kind(EventKind::OutOfCallRequest), 10000);
        ASSERT_TRUE(e);
        EXPECT_EQ(bodyOf(*e), body.substr(0, chars));
        EXPECT_EQ(e->datagramBody, body);
        // A body as long as declared offers nothing more.
        dev.SendTo(port, DeviceRequest("MESSAGE", port, dev.Port(), "cl-ok", "z9hG4bKclok", body));
        auto ok = WaitFor(ua, Kind(EventKind::OutOfCallRequest), 10000);
        ASSERT_TRUE(ok);
        EXPECT_EQ(bodyOf(*ok), body);
        EXPECT_TRUE(ok->datagramBody.empty());
        ua.Shutdown();
    }
    sipua::SipAgent tcpAgent;
    ASSERT_EQ(tcpAgent.Init(), 0);
    ASSERT_EQ(tcpAgent.Listen(IPPROTO_TCP, "127.0.0.1", 0, AF_INET, false), 0);
    port = tcpAgent.BoundPort();
    TcpClient c(port);
    ASSERT_TRUE(c.ok());
    c.Send(request("TCP", "cl-tcp"));
    auto e = WaitFor(tcpAgent, Kind(EventKind::OutOfCallRequest), 10000);
    ASSERT_TRUE(e);
    EXPECT_EQ(bodyOf(*e), body.substr(0, chars));
    EXPECT_TRUE(e->datagramBody.empty());
}

// The owner's hook sees every outgoing message as bytes and may rewrite or
// drop it; here it plays a camera that counts Content-Length in characters.
TEST_F(Agent, WireHookRewritesOrDropsOutgoingBytes) {
    Start(IPPROTO_UDP);
    std::atomic<bool> drop{false};
    ua.SetWireHook([&drop](std::string& bytes, const std::string& host, int) {
        if (drop || host != "127.0.0.1") return false;
        std::size_t he = bytes.find("\r\n\r\n");
        std::size_t cl = bytes.find("Content-Length: ");
        if (he == std::string::npos || cl == std::string::npos) return true;
        std::size_t chars = 0;
        for (std::size_t i = he + 4; i < bytes.size(); ++i)
            if ((static_cast<unsigned char>(bytes[i]) & 0xC0) != 0x80) ++chars;
        std::size_t end = bytes.find("\r\n", cl);
        bytes.replace(cl + 16, end - cl - 16, std::to_string(chars));
        return true;
    });
    RawUdp dev;
    MessagePtr m = MessageTo(dev.Port());
    ASSERT_TRUE(m);
    const std::string body =
        "<Query><Name>\xe5\x89\x8d\xe9\x97\xa8</Name></Query>"; // 6 bytes, 2 chars
    osip_message_set_body(m.get(), body.data(), body.size());
    ASSERT_GT(ua.SendRequest(std::move(m)), 0);
    std::string got = dev.Recv(10000);
    EXPECT_NE(got.find("Content-Length: " + std::to_string(body.size() - 4) + "\r\n"),
              std::string::npos)
        << got;
    EXPECT_EQ(got.substr(got.find("\r\n\r\n") + 4), body);
    drop = true;
    // Dropped sends, retransmissions included, leave the wire silent.
    while (!dev.Recv(1200).empty()) {
    }
    EXPECT_EQ(dev.Recv(2000), "");
}

// Connections idle past the limit close; the test moves the connection
// clock instead of waiting. Traffic either way keeps a connection open.
TEST_F(Agent, IdleConnectionsCloseAtTheIdleLimit) {
    UseTestClock();
    Start(IPPROTO_TCP);
    TcpClient quiet(port), talker(port);
    ASSERT_TRUE(quiet.ok() && talker.ok());
    ASSERT_EQ(WaitConnections(2), 2);
    offset = 120;
    talker.Send(TcpRequest("MESSAGE", port, 5998, "alive", "<Notify/>"));
    ServeOne("alive");
    EXPECT_EQ(talker.RecvMessage(10000).rfind("SIP/2.0 200 OK", 0), 0u);
    offset = 181; // quiet: 181 s without traffic; talker: about 61 s
    bool closed = false;
    quiet.RecvMessage(100000, &closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(WaitConnections(1), 1);
    offset = 240; // talker: 120 s without traffic, under the limit
    ua.SetIdleLimit(60);
    closed = false;
    talker.RecvMessage(100000, &closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(WaitConnections(0), 0);
}

// At the connection limit a new connection closes the idlest one: a
// connection that never carried a SIP message goes before a device's.
TEST_F(Agent, AtTheConnectionLimitTheIdlestConnectionMakesRoom) {
    UseTestClock();
    ua.SetConnectionLimit(3);
    Start(IPPROTO_TCP);
    TcpClient device(port);
    device.Send(TcpRequest("REGISTER", port, 5998, "limit-reg"));
    ServeOne("limit-reg");
    ASSERT_FALSE(device.RecvMessage(10000).empty());
    std::vector<std::unique_ptr<TcpClient>> idle;
    for (int i = 0; i < 4; ++i) {
        offset += 10; // each newer than the one before, all newer than the device
        idle.push_back(std::make_unique<TcpClient>(port));
        ASSERT_TRUE(idle.back()->ok());
        if (i < 2) {
            ASSERT_EQ(WaitConnections(i + 2), i + 2);
        }
    }
    // The third and fourth idle connections closed the first two.
    for (int i = 0; i < 2; ++i) {
        bool closed = false;
        idle[i]->RecvMessage(100000, &closed);
        EXPECT_TRUE(closed) << "idle " << i;
    }
    EXPECT_EQ(WaitConnections(3), 3);
    device.Send(TcpRequest("MESSAGE", port, 5998, "limit-msg", "<Notify/>"));
    ServeOne("limit-msg");
    EXPECT_EQ(device.RecvMessage(10000).rfind("SIP/2.0 200 OK", 0), 0u);
    for (int i = 2; i < 4; ++i) {
        bool closed = false;
        idle[i]->RecvMessage(300, &closed);
        EXPECT_FALSE(closed) << "idle " << i;
    }
}

// Out of descriptors, an accept closes the idlest connection and takes the new
// one instead of leaving it in the backlog (and the listener spinning).
TEST_F(Agent, OutOfDescriptorsTheIdlestConnectionGivesWay) {
    Start(IPPROTO_TCP);
    TcpClient idle1(port), idle2(port);
    ASSERT_EQ(WaitConnections(2), 2);
    UniqueSocket device(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)); // made while we can
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    struct Restore {
        rlimit r;
        ~Restore() { setrlimit(RLIMIT_NOFILE, &r); }
    } restore{saved};
    int lowestFree = 0;
    while (fcntl(lowestFree, F_GETFD) != -1)
        ++lowestFree;
    rlimit none = saved;
    none.rlim_cur = static_cast<rlim_t>(lowestFree); // no descriptor left to open
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
    ASSERT_EQ(ConnectWithTimeout(device.get(), "127.0.0.1", port, 10000), 0);
    std::string m = TcpRequest("MESSAGE", port, 5998, "nofd", "<Notify/>");
    ASSERT_EQ(send(device.get(), m.data(), m.size(), MSG_NOSIGNAL), static_cast<long>(m.size()));
    ServeOne("nofd");
    bool closed1 = false, closed2 = false;
    idle1.RecvMessage(10000, &closed1);
    EXPECT_TRUE(closed1) << "the oldest idle connection gave way";
    idle2.RecvMessage(300, &closed2);
    EXPECT_FALSE(closed2);
}

// Input handed to the intake without a socket goes the network's way: one
// datagram, or a whole stream framed by Content-Length.
TEST_F(Agent, InjectedInputRaisesEventsWithItsSource) {
    for (int protocol : {IPPROTO_UDP, IPPROTO_TCP}) {
        sipua::SipAgent agent;
        EXPECT_LT(agent.InjectInput("x", "127.0.0.1", 9), 0);
        ASSERT_EQ(agent.Init(), 0);
        ASSERT_EQ(agent.Listen(protocol, "127.0.0.1", 0, AF_INET, false), 0);
        agent.SetWireHook([](std::string&, const std::string&, int) { return false; });
        int p = agent.BoundPort();
        std::string two = DeviceRequest("MESSAGE", p, 9, "inj-1", "z9hG4bKinj1", "<a/>") +
                          DeviceRequest("MESSAGE", p, 9, "inj-2", "z9hG4bKinj2", "<b/>");
        ASSERT_EQ(agent.InjectInput(two, "127.0.0.1", 9), 0);
        std::vector<std::string> ids;
        while (auto e = agent.WaitEvent(0, 0)) {
            EXPECT_EQ(e->sourceHost, "127.0.0.1");
            EXPECT_EQ(e->sourcePort, 9);
            ids.push_back(e->request->call_id->number);
            EXPECT_EQ(agent.SendAnswer(e->tid, 200, nullptr), 0);
        }
        // A datagram holds one message: the second is the first one's tail.
        std::vector<std::string> want{"inj-1"};
        if (protocol == IPPROTO_TCP) want.push_back("inj-2");
        EXPECT_EQ(ids, want) << protocol;
        EXPECT_EQ(agent.ConnectionCount(), 0);
    }
}

} // namespace

namespace {

// TARVEX_SIPUA_TRACE=1 prints the limits, each opening and closing with the
// count, and why a connection went.
TEST(AgentTrace, TraceNamesLimitsAndCounts) {
    char path[] = "/tmp/tarvex-sipua-trace-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    fflush(stderr);
    int saved = dup(2);
    dup2(fd, 2);
    setenv("TARVEX_SIPUA_TRACE", "1", 1);
    {
        sipua::SipAgent ua;
        unsetenv("TARVEX_SIPUA_TRACE");
        ua.SetConnectionLimit(2);
        ua.SetIdleLimit(90);
        EXPECT_EQ(ua.Init(), 0);
        EXPECT_EQ(ua.Listen(IPPROTO_TCP, "127.0.0.1", 0, AF_INET, false), 0);
        TcpClient a(ua.BoundPort()), b(ua.BoundPort());
        for (int i = 0; i < 500 && ua.ConnectionCount() != 2; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        TcpClient c(ua.BoundPort());
        bool closed = false;
        a.RecvMessage(100000, &closed);
        EXPECT_TRUE(closed);
    }
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    close(fd);
    std::string out;
    if (FILE* f = fopen(path, "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0)
            out.append(buf, n);
        fclose(f);
    }
    unlink(path);
    for (const char* want : {"sipua: TCP on port ",
                             ": connection limit 2 (asked 2), idle limit 90.0 s, descriptor limit ",
                             " opened (1 of 2)", " opened (2 of 2)",
                             "sipua: connection limit reached: closing connection 1 (127.0.0.1:",
                             "never carried a message", "closed: made room for a new one (2 of 2)",
                             " opened (2 of 2)"})
        EXPECT_NE(out.find(want), std::string::npos) << want << "\n" << out;
}

} // namespace

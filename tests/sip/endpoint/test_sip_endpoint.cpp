// CSIP against SIPp as the device on 127.0.0.1, over UDP and TCP: the answers
// it gives by itself, what it reports up (rows in wire order, registrations,
// answered and closed calls), the requests it sends, counted by transaction,
// and the messages it still handles when stopped.

#include "sip/endpoint/CSIP.h"
#include "support/common/Sipp.h"

#include <gtest/gtest.h>

#include <atomic>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace {

constexpr const char* kLocalId = "34020000002000000001";
constexpr const char* kDevice = "34010000001320000001";

std::string FirstLine(const std::string& s) { return s.substr(0, s.find("\r\n")); }

// Records what the endpoint reports up.
struct Events : ISipEvents {
    std::mutex m;
    std::condition_variable cv;
    std::vector<LoggedMessage> rows;
    std::vector<DeviceAddress> registered;
    struct Call {
        int cid, did;
        std::string sdp;
    };
    std::vector<Call> answered, closed;

    void OnMessageLogged(const LoggedMessage& r) override { Record([&] { rows.push_back(r); }); }
    void OnDeviceRegistered(const DeviceAddress& d) override { Record([&] { registered.push_back(d); }); }
    void OnCallAnswered(int cid, int did, const std::string& sdp) override {
        Record([&] { answered.push_back({cid, did, sdp}); });
    }
    void OnCallClosed(int cid, int did) override { Record([&] { closed.push_back({cid, did, ""}); }); }
    int AdmitRequest(const IncomingRequest&) override { return admit; }
    void OnDeviceUnregistered(const std::string& id) override { Record([&] { left.push_back(id); }); }
    std::atomic<int> admit{200};
    std::vector<std::string> left;

    bool WaitFor(const std::function<bool()>& pred, int ms = 20000) {
        std::unique_lock<std::mutex> lk(m);
        return cv.wait_for(lk, std::chrono::milliseconds(ms), pred);
    }
    std::vector<LoggedMessage> Rows() {
        std::lock_guard<std::mutex> lk(m);
        return rows;
    }
    int Count(const std::function<bool(const LoggedMessage&)>& f) {
        int n = 0;
        for (const auto& r : rows) n += f(r);
        return n;
    }

private:
    template <class F> void Record(F f) {
        {
            std::lock_guard<std::mutex> lk(m);
            f();
        }
        cv.notify_all();
    }
};

class EndpointTest : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        SipSettings s;
        s.port = 0;
        s.address = "127.0.0.1";
        s.id = kLocalId;
        ASSERT_EQ(sip.Start(GetParam(), s, events), 0);
        port = sip.BoundPort();
        ASSERT_GT(port, 0);
    }
    bool Tcp() const { return GetParam() == 1; }
    void StartCamera(SippProcess& p, const std::string& name, const std::string& scenario,
                     const std::string& ooc = {}) {
        WriteFile(dir.File(name + ".xml"), scenario);
        sippPort = FreePort(Tcp() ? SOCK_STREAM : SOCK_DGRAM);
        std::vector<std::string> args = {"127.0.0.1:" + std::to_string(port), "-sf", dir.File(name + ".xml"),
                                         "-i", "127.0.0.1", "-p", std::to_string(sippPort), "-m", "1",
                                         "-t", Tcp() ? "t1" : "u1", "-trace_msg", "-message_file",
                                         dir.File(name + ".msg"), "-trace_err", "-error_file",
                                         dir.File(name + ".err"), "-nostdin", "-timeout", "60s",
                                         "-max_recv_loops", "1000"};
        if (!ooc.empty()) {
            WriteFile(dir.File(name + "-ooc.xml"), ooc);
            args.insert(args.end(), {"-oocsf", dir.File(name + "-ooc.xml")});
        }
        ASSERT_TRUE(p.Start(args, dir.File(name + ".out")));
    }
    int Finish(SippProcess& p, const std::string& name) {
        const int rc = p.Wait(40000);
        if (rc != 0)
            std::printf("---- sipp %s:\n%s\n%s\n%.6000s\n", name.c_str(), ReadFile(dir.File(name + ".out")).c_str(),
                        ReadFile(dir.File(name + ".err")).c_str(), ReadFile(dir.File(name + ".msg")).c_str());
        return rc;
    }
    // Registers the camera and waits for its registration to be reported.
    void Register(SippProcess& p, DeviceScript s, const std::string& name = "cam") {
        StartCamera(p, name, MainScenario(s), OocScenario(s));
        ASSERT_TRUE(events.WaitFor([&] { return !events.registered.empty(); }));
    }

    TempDir dir;
    Events events;
    CSIP sip;
    int port = 0;
    int sippPort = 0;
};

} // namespace

TEST_P(EndpointTest, RegisterAndKeepaliveAnsweredAndReportedInWireOrder) {
    DeviceScript s;
    s.deviceId = kDevice;
    s.messages = {{300, KeepaliveNotify(kDevice), true}};
    s.holdMs = 500;
    SippProcess p;
    Register(p, s);
    ASSERT_EQ(Finish(p, "cam"), 0); // SIPp checked the Date and User-Agent of the 200
    auto rows = events.Rows();
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(FirstLine(rows[0].head).rfind("REGISTER ", 0), 0u);
    EXPECT_EQ(rows[0].role, LoggedMessage::Role::Register);
    EXPECT_EQ(rows[0].deviceId, kDevice);
    EXPECT_EQ(rows[0].body, "No Body!\n");
    EXPECT_EQ(FirstLine(rows[1].head), "SIP/2.0 200 OK");
    EXPECT_EQ(rows[1].role, LoggedMessage::Role::RegisterAnswer);
    EXPECT_NE(rows[1].head.find("\r\nUser-Agent: Tarvex\r\n"), std::string::npos);
    EXPECT_NE(rows[1].head.find("\r\nDate: "), std::string::npos);
    EXPECT_EQ(rows[1].head.find("Expires"), std::string::npos);
    ASSERT_EQ(events.registered.size(), 1u);
    EXPECT_EQ(events.registered[0].id, kDevice);
    EXPECT_EQ(events.registered[0].address, "127.0.0.1");
    EXPECT_EQ(events.registered[0].port, sippPort);
    EXPECT_EQ(rows[2].body, KeepaliveNotify(kDevice) + "\r\n"); // SIPp ends it with a line end
    EXPECT_EQ(rows[2].peerUser, kDevice);
    EXPECT_EQ(FirstLine(rows[3].head), "SIP/2.0 200 OK");
    EXPECT_EQ(rows[3].peerUser, kDevice);
    EXPECT_TRUE(sip.Registered());
}

TEST_P(EndpointTest, MessageGetsTheAnswerTheCoreAdmitsItWith) {
    // A keepalive of a device that never registered: refused, so that it
    // registers; the row says where it came from and how it was answered.
    events.admit = 403;
    DeviceScript s;
    s.registerFirst = false;
    s.messages = {{0, KeepaliveNotify(kDevice), true, 403}};
    s.holdMs = 500;
    SippProcess p;
    StartCamera(p, "early", MainScenario(s));
    ASSERT_EQ(Finish(p, "early"), 0);
    const auto rows = events.Rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].answerStatus, 403);
    EXPECT_EQ(rows[0].sourceHost, "127.0.0.1");
    EXPECT_GT(rows[0].sourcePort, 0);
    EXPECT_EQ(FirstLine(rows[1].head), "SIP/2.0 403 Forbidden");
    EXPECT_FALSE(sip.Registered());
}

TEST_P(EndpointTest, RequestsOfEachKindReachTheDeviceCountedByTransaction) {
    DeviceScript s;
    s.deviceId = kDevice;
    s.holdMs = 4000;
    SippProcess p;
    Register(p, s);
    const DeviceAddress to{kDevice, "127.0.0.1", sippPort};
    const std::string query = "<?xml version=\"1.0\"?>\r\n<Query>\r\n <CmdType>Catalog</CmdType>\r\n</Query>\r\n";
    EXPECT_TRUE(sip.Send({1, query, to, 0, "", ""}).sent);
    EXPECT_TRUE(sip.Send({4, "<Control/>", to, 0, "", ""}).sent);
    EXPECT_TRUE(sip.Send({7, "<Subscribe/>", to, 0, "", ""}).sent);
    EXPECT_FALSE(sip.Send({2, "<Notify/>", to, 0, "", ""}).sent); // NOTIFY: nothing at all
    // The answers to the two MESSAGEs and the SUBSCRIBE.
    ASSERT_TRUE(events.WaitFor([&] {
        return events.Count([](const LoggedMessage& r) {
                   return r.direction == kLogReceived && FirstLine(r.head) == "SIP/2.0 200 OK";
               }) >= 3;
    }));
    ASSERT_EQ(Finish(p, "cam"), 0);
    auto trace = ReadSippTrace(dir.File("cam.msg"));
    auto messages = ReceivedRequests(trace, "MESSAGE");
    auto subscribes = ReceivedRequests(trace, "SUBSCRIBE");
    EXPECT_TRUE(ReceivedRequests(trace, "NOTIFY").empty());
    ASSERT_EQ(messages.size(), 2u);
    ASSERT_EQ(subscribes.size(), 1u);
    EXPECT_EQ(messages[0].Body(), query);
    EXPECT_EQ(messages[0].Header("Content-Type"), "application/MANSCDP+xml");
    EXPECT_EQ(messages[0].Header("Content-Length"), std::to_string(query.size()));
    EXPECT_EQ(messages[0].StartLine(),
              "MESSAGE sip:" + std::string(kDevice) + "@127.0.0.1:" + std::to_string(sippPort) + " SIP/2.0");
    EXPECT_EQ(subscribes[0].Header("Event"), "presence");
    EXPECT_EQ(subscribes[0].Header("Expires"), "90");
    EXPECT_EQ(subscribes[0].Header("User-Agent"), "Tarvex");
    // Each request's row comes before the row of its answer.
    auto rows = events.Rows();
    std::vector<std::string> order;
    for (const auto& r : rows)
        if (r.direction == kLogSent && (FirstLine(r.head).rfind("MESSAGE", 0) == 0 ||
                                         FirstLine(r.head).rfind("SUBSCRIBE", 0) == 0))
            order.push_back("request");
        else if (r.direction == kLogReceived && FirstLine(r.head) == "SIP/2.0 200 OK") order.push_back("answer");
    EXPECT_EQ(order.front(), "request");
    int open = 0;
    for (const auto& o : order) {
        open += o == "request" ? 1 : -1;
        EXPECT_GE(open, 0);
    }
}

TEST_P(EndpointTest, InviteAnsweredReportsCallDialogAndSdpEndCallSendsBye) {
    DeviceScript s;
    s.deviceId = kDevice;
    s.holdMs = 200;
    SippProcess reg;
    Register(reg, s, "reg");
    ASSERT_EQ(Finish(reg, "reg"), 0);
    const std::string sdp = "v=0\r\no=34010000001320000001 0 0 IN IP4 127.0.0.1\r\ns=Play\r\n"
                            "c=IN IP4 127.0.0.1\r\nt=0 0\r\nm=video 40000 RTP/AVP 96\r\na=sendonly\r\n"
                            "a=rtpmap:96 PS/90000\r\ny=0100000001\r\n";
    SippProcess cam;
    StartCamera(cam, "call", CallScenario(sdp));
    ASSERT_TRUE(WaitPortBound(sippPort, Tcp()));
    const SendResult r = sip.Send({5, "v=0\r\no=offer\r\n", {kDevice, "127.0.0.1", sippPort}, 0, "", ""});
    ASSERT_TRUE(r.sent);
    ASSERT_GT(r.callId, 0);
    ASSERT_TRUE(events.WaitFor([&] { return !events.answered.empty(); }));
    EXPECT_EQ(events.answered[0].cid, r.callId);
    EXPECT_GT(events.answered[0].did, 0);
    EXPECT_EQ(events.answered[0].sdp, sdp);
    const auto before = std::chrono::steady_clock::now();
    sip.EndCall(r.callId, events.answered[0].did);
    // Queued: the caller never waits for the SIP thread (a generous ceiling).
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(200));
    ASSERT_TRUE(events.WaitFor([&] { return !events.closed.empty(); }));
    EXPECT_EQ(events.closed[0].cid, r.callId);
    ASSERT_EQ(Finish(cam, "call"), 0);
    auto trace = ReadSippTrace(dir.File("call.msg"));
    ASSERT_EQ(ReceivedRequests(trace, "INVITE").size(), 1u);
    EXPECT_EQ(ReceivedRequests(trace, "INVITE")[0].Header("Content-Type"), "application/sdp");
    EXPECT_EQ(ReceivedRequests(trace, "ACK").size(), 1u);
    EXPECT_EQ(ReceivedRequests(trace, "BYE").size(), 1u);
}

// Every final answer to an INVITE is a row: the device's 488, 503 or 603 and
// the ACK the transaction layer sent for it, in that order; the call is
// reported closed, none answered.
TEST_P(EndpointTest, RefusedInviteAndItsAckAreLogged) {
    DeviceScript s;
    s.deviceId = kDevice;
    s.holdMs = 200;
    SippProcess reg;
    Register(reg, s, "reg");
    ASSERT_EQ(Finish(reg, "reg"), 0);
    for (const char* status : {"488 Not Acceptable Here", "503 Service Unavailable", "603 Decline"}) {
        SCOPED_TRACE(status);
        const std::string refused = std::string("<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>\n"
            "<scenario name=\"refusing device\">\n  <recv request=\"INVITE\"/>\n"
            "  <send><![CDATA[\nSIP/2.0 100 Trying\n[last_Via:]\n[last_From:]\n[last_To:]\n"
            "[last_Call-ID:]\n[last_CSeq:]\nContent-Length: 0\n\n]]></send>\n"
            "  <send><![CDATA[\nSIP/2.0 ") + status +
            "\n[last_Via:]\n[last_From:]\n[last_To:];tag=[pid]SIPpTag09[call_number]\n"
            "[last_Call-ID:]\n[last_CSeq:]\nContent-Length: 0\n\n]]></send>\n"
            "  <recv request=\"ACK\"/>\n  <pause milliseconds=\"300\"/>\n</scenario>\n";
        const std::size_t before = events.Rows().size();
        SippProcess cam;
        StartCamera(cam, "refuse", refused);
        ASSERT_TRUE(WaitPortBound(sippPort, Tcp()));
        const SendResult r = sip.Send({5, "v=0\r\no=offer\r\n", {kDevice, "127.0.0.1", sippPort}, 0, "", ""});
        ASSERT_TRUE(r.sent);
        ASSERT_EQ(Finish(cam, "refuse"), 0);
        const std::string code = std::string(status).substr(0, 3);
        ASSERT_TRUE(events.WaitFor([&] {
            for (std::size_t i = before; i < events.rows.size(); ++i)
                if (FirstLine(events.rows[i].head).rfind("ACK sip:", 0) == 0) return true;
            return false;
        })) << "no ACK row";
        const auto rows = events.Rows();
        int answer = -1, ack = -1;
        for (std::size_t i = before; i < rows.size(); ++i) {
            const std::string line = FirstLine(rows[i].head);
            if (line.rfind("SIP/2.0 " + code, 0) == 0) {
                answer = static_cast<int>(i);
                EXPECT_EQ(rows[i].direction, kLogReceived);
            }
            if (line.rfind("ACK sip:", 0) == 0) {
                ack = static_cast<int>(i);
                EXPECT_EQ(rows[i].direction, kLogSent);
                EXPECT_NE(rows[i].head.find(" ACK\r\n"), std::string::npos) << rows[i].head; // its CSeq
            }
        }
        EXPECT_GE(answer, 0);
        EXPECT_GT(ack, answer);
        // Once: not again when the INVITE's transaction ends (at once over TCP).
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        int answers = 0;
        for (const auto& row : events.Rows())
            answers += FirstLine(row.head).rfind("SIP/2.0 " + code, 0) == 0;
        EXPECT_EQ(answers, 1);
        auto trace = ReadSippTrace(dir.File("refuse.msg"));
        EXPECT_EQ(ReceivedRequests(trace, "ACK").size(), 1u);
        // The call is over as soon as it is refused.
        EXPECT_TRUE(events.WaitFor([&] {
            for (const auto& c : events.closed)
                if (c.cid == r.callId) return true;
            return false;
        }));
    }
    EXPECT_TRUE(events.answered.empty());
}

INSTANTIATE_TEST_SUITE_P(Transports, EndpointTest, ::testing::Values(0, 1),
                         [](const auto& info) { return info.param == 0 ? "Udp" : "Tcp"; });

namespace {

// A device on a plain socket, for bytes SIPp does not send: bursts and bodies
// of any size.
class RawDevice {
public:
    RawDevice(bool tcp, int port) : tcp_(tcp), port_(port) {
        fd_ = socket(AF_INET, tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        sockaddr_in me{};
        socklen_t len = sizeof me;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&me), &len);
        myPort_ = ntohs(me.sin_port);
    }
    ~RawDevice() { close(fd_); }
    bool Connected() const { return connected_; }
    bool Send(const std::string& method, int cseq, const std::string& body) {
        const std::string n = std::to_string(cseq);
        const std::string m =
            method + " sip:" + kLocalId + "@127.0.0.1:" + std::to_string(port_) + " SIP/2.0\r\nVia: SIP/2.0/" +
            (tcp_ ? "TCP" : "UDP") + " 127.0.0.1:" + std::to_string(myPort_) + ";rport;branch=z9hG4bKraw" + n +
            "\r\nFrom: <sip:" + kDevice + "@127.0.0.1:" + std::to_string(myPort_) + ">;tag=a" + n +
            "\r\nTo: <sip:" + kLocalId + "@127.0.0.1>\r\nCall-ID: raw" + n + "@127.0.0.1\r\nCSeq: " + n + " " +
            method + "\r\nMax-Forwards: 70\r\nContent-Type: Application/MANSCDP+xml\r\nContent-Length: " +
            std::to_string(body.size()) + "\r\n\r\n" + body;
        std::size_t off = 0;
        while (off < m.size()) {
            const ssize_t k = ::send(fd_, m.data() + off, m.size() - off, MSG_NOSIGNAL);
            if (k <= 0) return false;
            off += static_cast<std::size_t>(k);
        }
        return true;
    }

private:
    bool tcp_;
    int port_;
    int fd_ = -1;
    int myPort_ = 0;
    bool connected_ = false;
};

int Keepalives(Events& events) {
    std::lock_guard<std::mutex> lk(events.m);
    return events.Count([](const LoggedMessage& r) {
        return r.direction == kLogReceived && r.body.find("<CmdType>Keepalive") != std::string::npos;
    });
}

} // namespace

TEST_P(EndpointTest, StopStillHandlesEveryMessageThatArrived) {
    RawDevice dev(Tcp(), port);
    ASSERT_TRUE(dev.Connected());
    ASSERT_TRUE(dev.Send("REGISTER", 1, ""));
    ASSERT_TRUE(events.WaitFor([&] { return !events.registered.empty(); }));
    constexpr int kBurst = 300;
    for (int i = 0; i < kBurst; ++i) ASSERT_TRUE(dev.Send("MESSAGE", 2 + i, KeepaliveNotify(kDevice)));
    sip.Stop(); // at once: the burst is still on its way through the stack
    EXPECT_FALSE(sip.IsStarted());
    EXPECT_EQ(Keepalives(events), kBurst);
    std::lock_guard<std::mutex> lk(events.m);
    EXPECT_EQ(events.Count([](const LoggedMessage& r) {
                  return r.direction == kLogSent && FirstLine(r.head) == "SIP/2.0 200 OK";
              }),
              1 + kBurst);
}

TEST(EndpointLargeBody, TwoHundredKilobytesOverTcpLoggedWhole) {
    Events events;
    CSIP sip;
    SipSettings st;
    st.port = 0;
    st.address = "127.0.0.1";
    st.id = kLocalId;
    ASSERT_EQ(sip.Start(1, st, events), 0);
    RawDevice dev(true, sip.BoundPort());
    ASSERT_TRUE(dev.Send("REGISTER", 1, ""));
    std::string big = "<?xml version=\"1.0\"?>\r\n<Notify>\r\n<CmdType>Keepalive</CmdType>\r\n<Info>";
    big += std::string(200 * 1024, 'A');
    big += "</Info>\r\n</Notify>\r\n";
    ASSERT_TRUE(dev.Send("MESSAGE", 2, big));
    EXPECT_TRUE(events.WaitFor([&] {
        for (const auto& r : events.rows)
            if (r.body == big) return true;
        return false;
    }));
}

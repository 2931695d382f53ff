// The program's timing on the wire, seen from SIPp cameras over UDP and TCP:
// prompt 200 OKs, the chain's one-second spacing with rising SNs, an operator
// click during a pause, a retransmitted answer, two devices at once.

#include "Harness.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

using namespace systest;

namespace {

const char* kDevice = "34010000001320000001";
const char* kDevice2 = "34010000001320000002";

DeviceScript Chain(const char* id, const char* channel) {
    DeviceScript s;
    s.deviceId = id;
    s.catalog = {CatalogAnswer(id, 1, {channel})};
    s.deviceInfo = SimpleAnswer("DeviceInfo", id, "<DeviceName>IPC</DeviceName>\r\n");
    s.deviceStatus = SimpleAnswer("DeviceStatus", id, "<Online>ONLINE</Online>\r\n");
    return s;
}

// Seconds from each request SIPp sent to the 200 it received for it.
std::vector<double> AnswerDelays(const std::vector<TracedMessage>& trace) {
    std::map<std::string, double> sent;
    std::vector<double> out;
    for (const auto& m : trace) {
        if (m.sentBySipp && !m.Method().empty() && m.Method() != "ACK") sent.emplace(m.Transaction(), m.time);
        if (!m.sentBySipp && m.Status() == 200) {
            auto it = sent.find(m.Transaction());
            if (it != sent.end()) out.push_back(m.time - it->second);
        }
    }
    return out;
}

// The queries the camera received (one per transaction), by command.
std::map<std::string, std::vector<TracedMessage>> Queries(const std::vector<TracedMessage>& trace) {
    std::map<std::string, std::vector<TracedMessage>> q;
    for (const auto& m : ReceivedRequests(trace, "MESSAGE")) q[CmdOf(m.Body())].push_back(m);
    return q;
}

// When SIPp sent its answer of this command (the first time).
double AnswerSent(const std::vector<TracedMessage>& trace, const std::string& cmd) {
    for (const auto& m : trace)
        if (m.sentBySipp && m.Method() == "MESSAGE" && CmdOf(m.Body()) == cmd) return m.time;
    return 0;
}

class Wire : public ::testing::TestWithParam<int> {
protected:
    bool Tcp() const { return GetParam() == 1; }
    void StartProgram(const std::string& script) {
        port = FreePort(Tcp() ? SOCK_STREAM : SOCK_DGRAM);
        WriteFile(dir.File("config.ini"), Config(port, GetParam()));
        WriteFile(dir.File("run.txt"), script);
        program = std::make_unique<Program>(dir.Path(), std::vector<std::string>{"--script", "run.txt"});
        ASSERT_TRUE(program->WaitOut("SIP endpoint start transport")) << program->Out();
        ASSERT_TRUE(WaitPortBound(port, Tcp()));
    }
    // Over TCP the program's exit closes the camera's connection, which SIPp
    // counts as a failed call: its trace is what tells.
    void CameraDone(Camera& cam) {
        const int rc = cam.Wait();
        if (!Tcp()) {
            EXPECT_EQ(rc, 0) << cam.Report();
        }
    }
    TempDir dir;
    int port = 0;
    std::unique_ptr<Program> program;
};

} // namespace

TEST_P(Wire, AnswersAtOnceAndTheChainKeepsItsSpacing) {
    StartProgram("wait-registered 20000\nwait-log <Online>ONLINE</Online> 20000\nsleep 300\nexit\n");
    DeviceScript s = Chain(kDevice, "34010000001310000001");
    s.messages = {{200, KeepaliveNotify(kDevice), true}};
    s.holdMs = 6000;
    Camera cam(dir, "cam", Tcp());
    ASSERT_TRUE(cam.Start(port, s));
    ASSERT_EQ(program->Wait(60000), 0) << program->Out();
    CameraDone(cam);
    const auto trace = cam.Trace();
    // The 200 to the REGISTER, the keepalive and every answer comes at once, not
    // after the pause that follows (bench/core measures the figure: a few ms).
    const auto delays = AnswerDelays(trace);
    ASSERT_EQ(delays.size(), 5u);
    for (double d : delays) EXPECT_LT(d, 0.5);
    for (const char* cmd : {"Catalog", "DeviceInfo"}) {
        double answered = 0;
        for (const auto& m : trace)
            if (!m.sentBySipp && m.Status() == 200 && m.Header("CSeq").find("MESSAGE") != std::string::npos &&
                m.time > AnswerSent(trace, cmd) && answered == 0)
                answered = m.time;
        EXPECT_GT(answered, 0) << cmd;
        EXPECT_LT(answered, Queries(trace)[cmd == std::string("Catalog") ? "DeviceInfo" : "DeviceStatus"][0].time)
            << "the 200 to the " << cmd << " answer comes before the next query";
    }
    // Catalog, DeviceInfo and DeviceStatus once each, SN 10, 11, 12, each about a
    // second after what it follows.
    auto q = Queries(trace);
    ASSERT_EQ(q["Catalog"].size(), 1u);
    ASSERT_EQ(q["DeviceInfo"].size(), 1u);
    ASSERT_EQ(q["DeviceStatus"].size(), 1u);
    EXPECT_EQ(SnOf(q["Catalog"][0].Body()), 10);
    EXPECT_EQ(SnOf(q["DeviceInfo"][0].Body()), 11);
    EXPECT_EQ(SnOf(q["DeviceStatus"][0].Body()), 12);
    double registered = 0;
    for (const auto& m : trace)
        if (!m.sentBySipp && m.Status() == 200 && m.Header("CSeq").find("REGISTER") != std::string::npos)
            registered = m.time;
    const double gaps[] = {q["Catalog"][0].time - registered,
                           q["DeviceInfo"][0].time - AnswerSent(trace, "Catalog"),
                           q["DeviceStatus"][0].time - AnswerSent(trace, "DeviceInfo")};
    for (double g : gaps) {
        EXPECT_GT(g, 0.95); // a timer never fires early
        EXPECT_LT(g, 3.0);
    }
}

TEST_P(Wire, OperatorClickDuringAChainPauseGoesAtOnceAndSnsRise) {
    StartProgram("wait-registered 20000\n"
                 "wait-log <DeviceList 20000\n"
                 "sleep 200\n"
                 "click 1080 17\n"
                 "wait-log <Online>ONLINE</Online> 20000\n"
                 "exit\n");
    DeviceScript s = Chain(kDevice, "34010000001310000001");
    s.holdMs = 6000;
    Camera cam(dir, "cam", Tcp());
    ASSERT_TRUE(cam.Start(port, s));
    ASSERT_EQ(program->Wait(60000), 0) << program->Out();
    CameraDone(cam);
    const auto trace = cam.Trace();
    auto q = Queries(trace);
    ASSERT_EQ(q["TimeInfo"].size(), 1u);
    // On the wire within 100 ms of the click that the script printed.
    const std::string out = program->Out();
    const std::size_t at = out.find("] click 1080 row 17");
    ASSERT_NE(at, std::string::npos) << out;
    const std::size_t open = out.rfind('[', at);
    std::tm tm{};
    const char* rest = strptime(out.substr(open + 1, at - open - 1).c_str(), "%Y-%m-%dT%H:%M:%S", &tm);
    ASSERT_TRUE(rest);
    tm.tm_isdst = -1;
    const double clicked = static_cast<double>(std::mktime(&tm)) + std::atof(rest);
    // Not held back by the pause (the fault it mends held it for seconds);
    // typically a few milliseconds.
    std::printf("click to wire: %.1f ms\n", (q["TimeInfo"][0].time - clicked) * 1000);
    EXPECT_LT(q["TimeInfo"][0].time - clicked, 0.5);
    // Every SN on the wire higher than the one before it.
    int last = 0;
    for (const auto& m : ReceivedRequests(trace, "MESSAGE")) {
        EXPECT_GT(SnOf(m.Body()), last) << m.Body();
        last = SnOf(m.Body());
    }
    // A click well inside the chain's pause goes before the DeviceInfo query
    // (a loaded machine may run the script late; then it follows it).
    if (clicked < q["DeviceInfo"][0].time - 0.3) {
        EXPECT_LT(q["TimeInfo"][0].time, q["DeviceInfo"][0].time);
        EXPECT_EQ(SnOf(q["TimeInfo"][0].Body()), 11);
        EXPECT_EQ(SnOf(q["DeviceInfo"][0].Body()), 12);
    }
}

TEST_P(Wire, TwoDevicesOneSecondApartEachEndWithTheirOwnChannelsAndQueries) {
    StartProgram("wait-registered 20000\n"
                 "wait-log 34010000001310000001 20000\n"
                 "wait-log 34010000001310000002 20000\n"
                 "tree 34010000001310000001\n"
                 "tree 34010000001310000002\n"
                 "sleep 4500\n"
                 "exit\n");
    DeviceScript a = Chain(kDevice, "34010000001310000001");
    a.holdMs = 8000;
    DeviceScript b = Chain(kDevice2, "34010000001310000002");
    b.firstPauseMs = 1000;
    b.holdMs = 7000;
    Camera first(dir, "first", Tcp()), second(dir, "second", Tcp());
    ASSERT_TRUE(first.Start(port, a));
    ASSERT_TRUE(second.Start(port, b));
    ASSERT_EQ(program->Wait(60000), 0) << program->Out();
    CameraDone(first);
    CameraDone(second);
    for (auto* cam : {&first, &second}) {
        const std::string id = cam == &first ? kDevice : kDevice2;
        auto q = Queries(cam->Trace());
        EXPECT_EQ(q["Catalog"].size(), 1u) << id;
        ASSERT_EQ(q["DeviceInfo"].size(), 1u) << id;
        ASSERT_EQ(q["DeviceStatus"].size(), 1u) << id;
        EXPECT_NE(q["DeviceInfo"][0].Body().find("<DeviceID>" + id + "</DeviceID>"), std::string::npos);
        EXPECT_NE(q["DeviceStatus"][0].Body().find("<DeviceID>" + id + "</DeviceID>"), std::string::npos);
    }
    // Each channel under its own device in the tree (the script found both items).
    EXPECT_EQ(program->Out().find("FAILED"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Transports, Wire, ::testing::Values(0, 1),
                         [](const auto& info) { return info.param == 0 ? "Udp" : "Tcp"; });

// The top Via branch of a message text.
std::string Branch(const std::string& m) {
    const std::size_t b = m.find("branch=");
    return b == std::string::npos ? std::string() : m.substr(b + 7, m.find_first_of(";\r", b + 7) - b - 7);
}

std::string HeaderLine(const std::string& m, const std::string& name) {
    const std::size_t p = m.find("\r\n" + name + ":");
    return p == std::string::npos ? std::string() : m.substr(p + 2, m.find("\r\n", p + 2) - p - 2);
}

// A UDP device that sends its answer again half a second later gets the same
// 200 again, and the chain goes on once. A plain socket plays the device, so
// that the retransmission is byte for byte the first send.
TEST(WireUdp, RetransmittedAnswerGetsTheSame200AndNoSecondFollowUp) {
    TempDir dir;
    const int port = FreePort(SOCK_DGRAM);
    WriteFile(dir.File("config.ini"), Config(port));
    WriteFile(dir.File("run.txt"), "wait-registered 20000\nwait-log <DeviceList 20000\nsleep 3000\nexit\n");
    Program program(dir.Path(), {"--script", "run.txt"});
    ASSERT_TRUE(program.WaitOut("SIP endpoint start transport")) << program.Out();
    ASSERT_TRUE(WaitPortBound(port, false));
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in me{}, to{};
    me.sin_family = to.sin_family = AF_INET;
    me.sin_addr.s_addr = to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(port));
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&me), sizeof me), 0);
    socklen_t len = sizeof me;
    getsockname(fd, reinterpret_cast<sockaddr*>(&me), &len);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    const std::string self = "127.0.0.1:" + std::to_string(ntohs(me.sin_port));
    auto request = [&](const std::string& method, const std::string& tag, int cseq, const std::string& body) {
        return method + " sip:" + kLocalId + "@127.0.0.1:" + std::to_string(port) + " SIP/2.0\r\nVia: SIP/2.0/UDP " +
               self + ";rport;branch=z9hG4bK" + tag + "\r\nFrom: <sip:" + kDevice + "@" + self + ">;tag=" + tag +
               "\r\nTo: <sip:" + kLocalId + "@127.0.0.1>\r\nCall-ID: " + tag + "@127.0.0.1\r\nCSeq: " +
               std::to_string(cseq) + " " + method + "\r\nMax-Forwards: 70\r\n" +
               (body.empty() ? "" : "Content-Type: Application/MANSCDP+xml\r\n") +
               "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    };
    auto sendText = [&](const std::string& m) { ::send(fd, m.data(), m.size(), 0); };
    sendText(request("REGISTER", "reg1", 1, ""));
    std::string answer;
    std::vector<std::string> answers200;
    std::set<std::string> infoQueries;
    auto resentAt = std::chrono::steady_clock::time_point::max();
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < end) {
        if (!answer.empty() && std::chrono::steady_clock::now() >= resentAt) {
            sendText(answer); // the same datagram, half a second later
            resentAt = std::chrono::steady_clock::time_point::max();
        }
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, 20) <= 0) continue;
        char buf[8192];
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) continue;
        const std::string m(buf, static_cast<std::size_t>(n));
        if (m.rfind("SIP/2.0 200", 0) == 0 && HeaderLine(m, "CSeq") == "CSeq: 20 MESSAGE") {
            answers200.push_back(m);
            if (answers200.size() == 2) break;
            continue;
        }
        if (m.rfind("MESSAGE ", 0) != 0) continue;
        // A query: 200 to it, and for the Catalog the answer.
        sendText("SIP/2.0 200 OK\r\n" + HeaderLine(m, "Via") + "\r\n" + HeaderLine(m, "From") + "\r\n" +
                 HeaderLine(m, "To") + ";tag=dev\r\n" + HeaderLine(m, "Call-ID") + "\r\n" +
                 HeaderLine(m, "CSeq") + "\r\nContent-Length: 0\r\n\r\n");
        if (CmdOf(m) == "DeviceInfo") infoQueries.insert(Branch(m));
        if (CmdOf(m) == "Catalog" && answer.empty()) {
            std::string body = CatalogAnswer(kDevice, 1, {"34010000001310000001"});
            body.replace(body.find("[$sn]"), 5, std::to_string(SnOf(m)));
            answer = request("MESSAGE", "again", 20, body);
            sendText(answer);
            resentAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
        }
    }
    // The DeviceInfo query one second after the answer.
    const auto more = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    while (std::chrono::steady_clock::now() < more) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, 20) <= 0) continue;
        char buf[8192];
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        const std::string m(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
        if (m.rfind("MESSAGE ", 0) == 0 && CmdOf(m) == "DeviceInfo") infoQueries.insert(Branch(m));
    }
    close(fd);
    EXPECT_EQ(program.Wait(60000), 0) << program.Out();
    ASSERT_EQ(answers200.size(), 2u);
    EXPECT_EQ(answers200[0], answers200[1]);
    EXPECT_EQ(infoQueries.size(), 1u);
}

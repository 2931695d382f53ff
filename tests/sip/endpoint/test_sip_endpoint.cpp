// SIPp plays the camera against the real signalling core on 127.0.0.1:
// registration, the automatic query chain, catalogs, recordings, heartbeats
// and odd input, over UDP and TCP.

#include "FakeView.h"
#include "support/common/Sipp.h"
#include "base/TextCodec.h"
#include "sip/endpoint/SignalCore.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <thread>

namespace {

constexpr const char* kLocalId = "34020000002000000001";
constexpr const char* kDevice = "34010000001320000001";

std::string FirstLine(const std::string& s) { return s.substr(0, s.find("\r\n")); }

// Milliseconds of the day from a log time text.
long RowMs(const LogRow& r) {
    int h = 0, m = 0, s = 0, ms = 0;
    std::sscanf(r.time.c_str() + 11, "%d:%d:%d.%d", &h, &m, &s, &ms);
    return ((h * 60L + m) * 60L + s) * 1000L + ms;
}

std::string QueryText(const char* cmd, int sn, const std::string& id) {
    return std::string("<?xml version=\"1.0\"?>\r\n<Query>\r\n <CmdType>") + cmd +
           "</CmdType>\r\n <SN>" + std::to_string(sn) + "</SN>\r\n <DeviceID>" + id +
           "</DeviceID>\r\n</Query>\r\n\r\n";
}

// "dddd-dd-ddTdd:dd:dd" exactly.
bool IsDateText(const std::string& v) {
    static const char kShape[] = "dddd-dd-ddTdd:dd:dd";
    if (v.size() != sizeof kShape - 1) return false;
    for (std::size_t i = 0; i < v.size(); ++i)
        if (kShape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(v[i])) : v[i] != kShape[i])
            return false;
    return true;
}

// Values of every header line "name: value" (blanks after the colon skipped).
std::vector<std::string> HeaderValues(const std::string& text, const std::string& name) {
    std::vector<std::string> out;
    std::string key = "\r\n" + name + ":";
    for (std::size_t p = text.find(key); p != std::string::npos; p = text.find(key, p + 1)) {
        std::size_t v = p + key.size();
        while (v < text.size() && text[v] == ' ') ++v;
        std::size_t e = text.find("\r\n", v);
        if (e == std::string::npos) break;
        out.push_back(text.substr(v, e - v));
    }
    return out;
}

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

bool IsQuery(const LogRow& r) {
    return r.direction == kLogSent && FirstLine(r.head).rfind("MESSAGE ", 0) == 0;
}

class EndpointTest : public ::testing::TestWithParam<int> {
protected:
    void StartCore(int transport) {
        transport_ = transport;
        core.SetView(&view);
        core.ResetTree(kLocalId);
        SipSettings s;
        s.port = 0;
        s.address = "127.0.0.1";
        s.id = kLocalId;
        s.domain = "3402000000";
        ASSERT_EQ(core.StartEndpoint(transport, s), 0);
        port_ = core.Sip().BoundPort();
        ASSERT_GT(port_, 0);
    }

    // Runs one camera to its end; returns SIPp's exit status.
    int RunCamera(const DeviceScript& script, const std::string& name, int timeoutMs = 40000) {
        SippProcess p;
        StartCamera(p, script, name);
        int rc = p.Wait(timeoutMs);
        if (rc != 0) Dump(name);
        return rc;
    }

    void StartCamera(SippProcess& p, const DeviceScript& script, const std::string& name) {
        WriteFile(dir.File(name + ".xml"), MainScenario(script));
        WriteFile(dir.File(name + "-ooc.xml"), OocScenario(script));
        int sippPort = FreePort(transport_ == 1 ? SOCK_STREAM : SOCK_DGRAM);
        ports[name] = sippPort;
        std::vector<std::string> args = {
            "127.0.0.1:" + std::to_string(port_), "-sf", dir.File(name + ".xml"),
            "-oocsf", dir.File(name + "-ooc.xml"), "-i", "127.0.0.1", "-p",
            std::to_string(sippPort), "-m", "1", "-t", transport_ == 1 ? "t1" : "u1",
            "-trace_msg", "-message_file", dir.File(name + ".msg"), "-trace_err",
            "-error_file", dir.File(name + ".err"), "-trace_logs", "-log_file",
            dir.File(name + ".log"), "-nostdin", "-timeout", "60s", "-max_recv_loops", "1000"};
        ASSERT_TRUE(p.Start(args, dir.File(name + ".out")));
    }

    void Dump(const std::string& name) {
        std::printf("---- sipp %s output:\n%s\n---- errors:\n%s\n---- messages:\n%.6000s\n",
                    name.c_str(), ReadFile(dir.File(name + ".out")).c_str(),
                    ReadFile(dir.File(name + ".err")).c_str(),
                    ReadFile(dir.File(name + ".msg")).c_str());
    }

    std::string DumpRows() {
        std::string out;
        for (const auto& r : Rows())
            out += std::to_string(r.direction) + " " + r.time + " " + r.typeText + " " +
                   FirstLine(r.head) + " | " + r.body.substr(0, 80) + "\n";
        return out;
    }
    std::vector<LogRow> Rows() {
        return view.Locked([&] { return view.rows; });
    }
    std::vector<LogRow> Queries() {
        std::vector<LogRow> q;
        for (const auto& r : Rows())
            if (IsQuery(r)) q.push_back(r);
        return q;
    }
    std::optional<TreeItem> DeviceItem(const std::string& id) {
        TreeItem t = core.TreeSnapshot();
        for (const auto& c : t.children)
            if (c.text == id) return c;
        return std::nullopt;
    }

    DeviceScript ChainScript() {
        DeviceScript s;
        s.deviceId = kDevice;
        s.catalog = {CatalogAnswer(kDevice, 2, {"34010000001310000001", "34010000001310000002"})};
        s.deviceInfo = SimpleAnswer("DeviceInfo", kDevice,
                                    "<DeviceName>IPC</DeviceName>\r\n<Manufacturer>Test</Manufacturer>\r\n");
        s.deviceStatus = SimpleAnswer("DeviceStatus", kDevice, "<Online>ONLINE</Online>\r\n");
        return s;
    }

    TempDir dir;
    FakeView view;
    SignalCore core;
    int transport_ = 0;
    int port_ = 0;
    std::map<std::string, int> ports;
};

} // namespace

TEST_P(EndpointTest, RegistrationAndAutomaticChain) {
    StartCore(GetParam());
    DeviceScript s = ChainScript();
    s.holdMs = 7500;
    ASSERT_EQ(RunCamera(s, "chain"), 0);

    auto rows = Rows();
    // The REGISTER and its answer are logged with the registering device.
    ASSERT_GE(rows.size(), 2u);
    EXPECT_EQ(FirstLine(rows[0].head).rfind("REGISTER ", 0), 0u);
    EXPECT_EQ(rows[0].direction, kLogReceived);
    EXPECT_EQ(rows[0].typeText, "注册信息");
    EXPECT_EQ(rows[0].deviceId, kDevice);
    EXPECT_EQ(rows[0].body, "No Body!\n");
    EXPECT_EQ(FirstLine(rows[1].head), "SIP/2.0 200 OK");
    EXPECT_EQ(rows[1].direction, kLogSent);
    EXPECT_EQ(rows[1].deviceId, kDevice);
    auto dates = HeaderValues(rows[1].head, "Date");
    ASSERT_EQ(dates.size(), 1u) << rows[1].head;
    EXPECT_TRUE(IsDateText(dates[0])) << dates[0];
    EXPECT_NE(rows[1].head.find("\r\nUser-Agent: Tarvex\r\n"), std::string::npos);
    EXPECT_EQ(rows[1].head.find("Expires"), std::string::npos);

    // Exactly three queries, in order, SN 10 to 12, each about a second after
    // the message that caused it.
    auto q = Queries();
    ASSERT_EQ(q.size(), 3u);
    EXPECT_EQ(q[0].body, QueryText("Catalog", 10, kDevice));
    EXPECT_EQ(q[1].body, QueryText("DeviceInfo", 11, kDevice));
    EXPECT_EQ(q[2].body, QueryText("DeviceStatus", 12, kDevice));
    EXPECT_EQ(q[0].typeText, "目录查询");
    EXPECT_EQ(q[1].typeText, "信息查询");
    EXPECT_EQ(q[2].typeText, "状态查询");
    auto received = [&](const char* cmd) -> std::optional<LogRow> {
        for (const auto& r : rows)
            if (r.direction == kLogReceived &&
                r.body.find(std::string("<CmdType>") + cmd + "</CmdType>") != std::string::npos)
                return r;
        return std::nullopt;
    };
    auto cat = received("Catalog"), info = received("DeviceInfo"), status = received("DeviceStatus");
    ASSERT_TRUE(cat && info && status);
    long gap0 = RowMs(q[0]) - RowMs(rows[1]);
    long gap1 = RowMs(q[1]) - RowMs(*cat);
    long gap2 = RowMs(q[2]) - RowMs(*info);
    for (long g : {gap0, gap1, gap2}) {
        EXPECT_GE(g, 950);
        EXPECT_LE(g, 2500);
    }
    // Every message once: REGISTER, 200, then per query: query, its 200,
    // the answer, our 200 to it.
    EXPECT_EQ(rows.size(), 2u + 3u * 4u);
    int noBody = 0;
    for (const auto& r : rows) noBody += r.body == "No Body!\n";
    EXPECT_EQ(noBody, 2 + 3 * 2);
    EXPECT_EQ(core.SheetRows(kLogReceived).size(), 1u + 3u * 2u);
    EXPECT_EQ(core.SheetRows(kLogSent).size(), 1u + 3u * 2u);

    // What the camera received, byte for byte.
    std::string trace = ReadFile(dir.File("chain.msg"));
    std::string catalog = QueryText("Catalog", 10, kDevice);
    auto lengths = HeaderValues(trace, "Content-Length");
    EXPECT_NE(std::find(lengths.begin(), lengths.end(), std::to_string(catalog.size())), lengths.end());
    EXPECT_NE(trace.find("\r\n\r\n" + catalog), std::string::npos);
    EXPECT_NE(trace.find("Content-Type: application/MANSCDP+xml\r\n"), std::string::npos);
    EXPECT_NE(trace.find("To: <sip:" + std::string(kDevice) + "@127.0.0.1:" +
                         std::to_string(ports["chain"]) + ">"),
              std::string::npos);

    auto dev = DeviceItem(kDevice);
    ASSERT_TRUE(dev);
    ASSERT_EQ(dev->children.size(), 2u);
    EXPECT_EQ(dev->children[1].text, "34010000001310000002");
    EXPECT_EQ(core.TypeText(), "状态查询");
}

TEST_P(EndpointTest, CatalogInFourMessages) {
    StartCore(GetParam());
    DeviceScript s;
    s.deviceId = kDevice;
    for (int part = 0; part < 4; ++part) {
        std::vector<std::string> ids;
        for (int i = 0; i < 10; ++i) {
            char id[32];
            std::snprintf(id, sizeof id, "340100000013100%05d", part * 10 + i + 1);
            ids.push_back(id);
        }
        s.catalog.push_back(CatalogAnswer(kDevice, 40, ids));
    }
    s.holdMs = 6000;
    ASSERT_EQ(RunCamera(s, "forty"), 0);
    auto dev = DeviceItem(kDevice);
    ASSERT_TRUE(dev);
    EXPECT_EQ(dev->children.size(), 40u);
    auto q = Queries();
    ASSERT_EQ(q.size(), 2u);
    EXPECT_EQ(q[1].body, QueryText("DeviceInfo", 11, kDevice));
}

TEST_P(EndpointTest, SecondDeviceTakesOverSameDeviceTwiceOneItem) {
    StartCore(GetParam());
    const std::string second = "34010000001320000002";
    DeviceScript a;
    a.deviceId = kDevice;
    a.registers = 2;
    a.holdMs = 9000;
    DeviceScript b;
    b.deviceId = second;
    b.firstPauseMs = 5000;
    b.catalog = {CatalogAnswer(second, 1, {"34010000001310000099"})};
    b.holdMs = 4000;
    SippProcess pa, pb;
    StartCamera(pa, a, "first");
    StartCamera(pb, b, "second");
    int ra = pa.Wait(40000), rb = pb.Wait(40000);
    if (ra) Dump("first");
    if (rb) Dump("second");
    ASSERT_EQ(ra, 0);
    ASSERT_EQ(rb, 0);

    TreeItem t = core.TreeSnapshot();
    ASSERT_EQ(t.children.size(), 2u);
    EXPECT_EQ(t.children[0].text, kDevice);
    EXPECT_EQ(t.children[1].text, second);
    EXPECT_EQ(core.DeviceRecordCount(), 3u);
    EXPECT_EQ(*core.CurrentDeviceId(), second);
    // Catalog of the first device twice, then the second device's Catalog and
    // DeviceInfo queries go to the second camera.
    auto q = Queries();
    ASSERT_EQ(q.size(), 4u);
    EXPECT_EQ(q[2].body, QueryText("Catalog", 12, second));
    EXPECT_EQ(q[3].body, QueryText("DeviceInfo", 13, second));
    std::string to = "To: <sip:" + second + "@127.0.0.1:" + std::to_string(ports["second"]) + ">";
    EXPECT_NE(q[3].head.find(to), std::string::npos) << q[3].head;
    std::string traceA = ReadFile(dir.File("first.msg"));
    EXPECT_EQ(traceA.find("<SN>12</SN>"), std::string::npos);
    EXPECT_EQ(traceA.find("<SN>13</SN>"), std::string::npos);
    EXPECT_NE(ReadFile(dir.File("second.msg")).find("<SN>13</SN>"), std::string::npos);
}

TEST_P(EndpointTest, MessageBeforeRegisterGetsNoAnswer) {
    StartCore(GetParam());
    DeviceScript s;
    s.registerFirst = false;
    s.messages = {{0, KeepaliveNotify(kDevice), false}};
    s.holdMs = 2500;
    ASSERT_EQ(RunCamera(s, "early"), 0); // an answer would be an unexpected message
    EXPECT_TRUE(Rows().empty());
    EXPECT_EQ(core.Sip().registered.load(), -1);
    // The operator's send is refused with the message box.
    core.Builder().FillSignalling();
    EXPECT_EQ(core.Sip().Send(1, "x"), -1);
    EXPECT_EQ(view.Locked([&] { return view.boxes; }),
              std::vector<std::string>{"提示\r\n设备未注册到服务器"});
}

TEST_P(EndpointTest, KeepaliveAnsweredOnlyTypeTextChanges) {
    StartCore(GetParam());
    DeviceScript s;
    s.deviceId = kDevice;
    s.messages = {{2500, KeepaliveNotify(kDevice), true}};
    s.holdMs = 1500;
    ASSERT_EQ(RunCamera(s, "keepalive"), 0);
    auto rows = Rows();
    std::optional<std::size_t> k;
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (rows[i].body.find("Keepalive") != std::string::npos) k = i;
    ASSERT_TRUE(k);
    ASSERT_LT(*k + 1, rows.size());
    EXPECT_EQ(rows[*k].typeText, "目录查询"); // type before its dispatch
    EXPECT_EQ(FirstLine(rows[*k + 1].head), "SIP/2.0 200 OK");
    EXPECT_EQ(rows[*k + 1].typeText, "心跳包");
    EXPECT_EQ(Queries().size(), 1u);
    EXPECT_EQ(core.TypeText(), "心跳包");
    auto dev = DeviceItem(kDevice);
    ASSERT_TRUE(dev);
    EXPECT_TRUE(dev->children.empty());
}

TEST_P(EndpointTest, RecordSearchAddsRecordingsOnce) {
    StartCore(GetParam());
    DeviceScript s = ChainScript();
    s.recordInfo = RecordAnswer(kDevice, "34010000001310000001", 3);
    s.holdMs = 12000;
    SippProcess p;
    StartCamera(p, s, "records");
    // After the chain, search the first channel's recordings twice.
    ASSERT_TRUE(view.WaitFor([&] {
        int n = 0;
        for (const auto& r : view.rows) n += r.body.find("DeviceStatus</CmdType>") != std::string::npos;
        return n >= 2; // query and answer
    }));
    auto channelItem = [&] { return DeviceItem(kDevice)->children[0]; };
    core.OnTreeClick(channelItem().item);
    EXPECT_EQ(core.Builder().MediaSetNumber(), 0);
    for (int round = 1; round <= 2; ++round) {
        core.Builder().ClickRow(kListMedia, 3);
        ASSERT_TRUE(view.WaitFor([&] {
            int n = 0;
            for (const auto& r : view.rows)
                n += r.direction == kLogReceived && r.body.find("<RecordList") != std::string::npos;
            return n >= round;
        })) << DumpRows();
        // The dispatch runs right after the row is written.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(channelItem().children.size(), 3u);
    }
    ASSERT_EQ(p.Wait(40000), 0);
    auto ch = channelItem();
    ASSERT_EQ(ch.children.size(), 3u);
    EXPECT_EQ(ch.children[0].text, "/rec/file0.mp4");
    EXPECT_EQ(ch.children[0].kind, kNodeRecording);
    core.OnTreeClick(ch.children[2].item);
    EXPECT_EQ(view.Locked([&] { return view.progressText; }), "00:00:00/00:12:02");
    EXPECT_EQ(core.Builder().MediaSetNumber(), 2);
    std::size_t recordings = 0;
    core.VisitDevices([&](const EXOSIP2INFO& d) {
        for (const auto& c : d.children) recordings += c->children.size();
    });
    EXPECT_EQ(recordings, 6u);
}

TEST_P(EndpointTest, OddInputIsLoggedWithoutHarm) {
    StartCore(GetParam());
    DeviceScript s;
    s.deviceId = kDevice;
    s.fromUser = std::string(kDevice) + std::string(40, '9'); // 60 characters
    std::string gbName = TextCodec::Utf8ToGbk("大门口摄像机");
    s.catalog = {CatalogAnswer(kDevice, 1, {"34010000001310000001"}, true, gbName)};
    s.messages = {
        {1500, "<?xml version=\"1.0\"?>\r\n<Notify><CmdType>Keep<alive</CmdType><<</Notify", true},
        {0, "\x01\x02garbage &&& </>", true},
    };
    s.holdMs = 5000;
    ASSERT_EQ(RunCamera(s, "odd"), 0);
    auto rows = Rows();
    ASSERT_FALSE(rows.empty());
    std::string cut(s.fromUser.substr(0, 31));
    EXPECT_EQ(rows[0].deviceId, cut);
    TreeItem t = core.TreeSnapshot();
    ASSERT_EQ(t.children.size(), 1u);
    EXPECT_EQ(t.children[0].text, cut);
    int odd = 0;
    bool gbShown = false;
    for (const auto& r : rows) {
        odd += r.body.find("Keep<alive") != std::string::npos || r.body.find("garbage") != std::string::npos;
        if (r.body.find(gbName) != std::string::npos) {
            EXPECT_NE(r.bodyText.find("大门口摄像机"), std::string::npos);
            gbShown = true;
        }
    }
    EXPECT_EQ(odd, 2);
    EXPECT_TRUE(gbShown);
    ASSERT_EQ(t.children[0].children.size(), 1u);
    EXPECT_EQ(t.children[0].children[0].text, "34010000001310000001");
}

TEST_P(EndpointTest, AllSignallingRowsReachTheDevice) {
    StartCore(GetParam());
    DeviceScript s;
    s.deviceId = kDevice;
    s.holdMs = 22000;
    SippProcess p;
    StartCamera(p, s, "rows");
    ASSERT_TRUE(view.WaitFor([&] {
        for (const auto& r : view.rows)
            if (IsQuery(r)) return true;
        return false;
    }));
    // Operator clicks on every row, from this (non-SIP) thread.
    for (int row = 0; row < 43; ++row) core.Builder().ClickRow(kListSignalling, row);
    core.Sip().FlushSends();
    // Wait for the device's answers to the last MESSAGE-type rows to be logged.
    ASSERT_TRUE(view.WaitFor([&] {
        int answers = 0;
        for (const auto& r : view.rows)
            answers += r.direction == kLogReceived && FirstLine(r.head) == "SIP/2.0 200 OK";
        return answers >= 1 + 41;
    }, 40000)) << DumpRows();
    int rc = p.Wait(40000);
    if (rc) Dump("rows");
    ASSERT_EQ(rc, 0);
    std::string trace = ReadFile(dir.File("rows.msg"));
    auto table = SignallingTable();
    for (int row = 0; row < 43; ++row) {
        int sn = 11 + row;
        std::string body = "<?xml version=\"1.0\"?>\r\n<" + std::string(RootForKind(table[row].kind)) +
                           ">\r\n <CmdType>" + table[row].command + "</CmdType>\r\n <SN>" +
                           std::to_string(sn) + "</SN>\r\n <DeviceID>" + kDevice + "</DeviceID>\r\n";
        bool sentToDevice = table[row].kind != 2;
        EXPECT_EQ(trace.find(body) != std::string::npos, sentToDevice) << row;
    }
    EXPECT_EQ(Count(trace, "\nSUBSCRIBE sip:" + std::string(kDevice) + "@127.0.0.1:" +
                               std::to_string(ports["rows"]) + " SIP/2.0\r\n"),
              2u);
    auto events = HeaderValues(trace, "Event");
    EXPECT_EQ(std::count(events.begin(), events.end(), "presence"), 2);
    auto expires = HeaderValues(trace, "Expires");
    EXPECT_EQ(std::count(expires.begin(), expires.end(), "90"), 2);
}

INSTANTIATE_TEST_SUITE_P(Transports, EndpointTest, ::testing::Values(0, 1),
                         [](const auto& info) { return info.param == 0 ? "Udp" : "Tcp"; });

// A 200 KB body over TCP from a plain socket: logged whole, no crash.
TEST(EndpointLargeBody, TwoHundredKilobytesOverTcp) {
    FakeView view;
    SignalCore core;
    core.SetView(&view);
    core.ResetTree(kLocalId);
    SipSettings st;
    st.port = 0;
    st.address = "127.0.0.1";
    st.id = kLocalId;
    ASSERT_EQ(core.StartEndpoint(1, st), 0);
    int port = core.Sip().BoundPort();

    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    sockaddr_in me{};
    socklen_t len = sizeof me;
    getsockname(fd, reinterpret_cast<sockaddr*>(&me), &len);
    int myPort = ntohs(me.sin_port);
    auto send = [&](const std::string& method, int cseq, const std::string& body) {
        std::string m = method + " sip:" + kLocalId + "@127.0.0.1:" + std::to_string(port) +
                        " SIP/2.0\r\nVia: SIP/2.0/TCP 127.0.0.1:" + std::to_string(myPort) +
                        ";rport;branch=z9hG4bK" + std::to_string(cseq) + "x\r\nFrom: <sip:" + kDevice +
                        "@127.0.0.1:" + std::to_string(myPort) + ">;tag=a" + std::to_string(cseq) +
                        "\r\nTo: <sip:" + kLocalId + "@127.0.0.1>\r\nCall-ID: big" +
                        std::to_string(cseq) + "@127.0.0.1\r\nCSeq: " + std::to_string(cseq) + " " +
                        method + "\r\nMax-Forwards: 70\r\nContent-Type: Application/MANSCDP+xml\r\n"
                        "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        std::size_t off = 0;
        while (off < m.size()) {
            ssize_t n = ::send(fd, m.data() + off, m.size() - off, MSG_NOSIGNAL);
            if (n <= 0) break;
            off += static_cast<std::size_t>(n);
        }
        return off == m.size();
    };
    ASSERT_TRUE(send("REGISTER", 1, ""));
    std::string big = "<?xml version=\"1.0\"?>\r\n<Notify>\r\n<CmdType>Keepalive</CmdType>\r\n<Info>";
    big += std::string(200 * 1024, 'A');
    big += "</Info>\r\n</Notify>\r\n";
    ASSERT_TRUE(send("MESSAGE", 2, big));
    bool logged = view.WaitFor([&] {
        for (const auto& r : view.rows)
            if (r.body.size() == big.size()) return true;
        return false;
    }, 20000);
    EXPECT_TRUE(logged);
    // The dispatch follows the row; poll without holding the view's lock.
    for (int i = 0; i < 50 && core.TypeText() != "心跳包"; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(core.TypeText(), "心跳包");
    close(fd);
    core.StopEndpoint();
}

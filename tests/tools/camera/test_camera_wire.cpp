// tarvex-camera against independent peers: SIPp plays the platform (challenge,
// queries, INVITE, INFO, BYE, unregistration) and its message trace is read
// back; tarvex-recv, ffmpeg and our own sockets take the media.

#include "CameraTest.h"
#include "PlatformScenario.h"
#include "ChildProcess.h"
#include "Sipp.h"
#include "base/Socket.h"
#include "base/TextCodec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <poll.h>
#include <map>
#include <regex>
#include <set>
#include <thread>

namespace camtest {
namespace {

const char* kDev = "34020000001320000001";
// What SIPp logs when the platform's call went through to its end.
const char* kPlatformDone = "platform done";

class Wire : public ::testing::Test {
protected:
    TempDir dir;
    std::string File(const std::string& n) { return dir.File(n); }

    // Runs SIPp as the platform and the camera against it. between runs
    // while both are up (after the camera printed waitText, when given).
    struct Run {
        bool platformDone = false; // SIPp's main call went through
        int cameraStatus = -1;
        std::vector<Traced> trace;
        std::string out; // the camera's standard output
        std::string sippLog;
    };
    // awaited: CmdTypes whose MESSAGEs from the camera must be in SIPp's trace
    // before the camera is told to leave (answers sent after the last query's
    // 200, which ends the main call).
    Run Exchange(Platform p, std::vector<std::string> cameraExtra, bool tcp = false,
                 const std::function<void(mt::Proc&)>& between = nullptr, int sippSeconds = 90,
                 const std::vector<std::string>& awaited = {}) {
        Run r;
        std::remove(File("done").c_str());
        p.doneFile = File("done");
        int port = FreePort(tcp ? SOCK_STREAM : SOCK_DGRAM);
        WriteFile(File("platform.xml"), PlatformScenario(p));
        SippProcess sipp;
        EXPECT_TRUE(sipp.Start({"-sf", File("platform.xml"), "-i", "127.0.0.1", "-p",
                                std::to_string(port), "-t", tcp ? "t1" : "u1", "-m", "100000",
                                "-nostdin", "-trace_msg", "-message_file", File("trace.log"),
                                "-trace_err",
                                "-error_file", File("sipp.err")},
                               File("sipp.log")));
        // Once SIPp's port is bound the camera's first REGISTER waits there for it.
        EXPECT_TRUE(WaitPortBound(port, tcp, 30000));
        std::vector<std::string> args = CameraArgs(port, cameraExtra);
        if (tcp) args.insert(args.end(), {"--transport", "tcp"});
        mt::Proc cam(args, File("camera.out"), File("camera.err"));
        if (between) between(cam);
        r.platformDone = WaitFor(File("done"), kPlatformDone, sippSeconds);
        for (int i = 0; i < 1500 && !awaited.empty(); ++i) {
            Run seen;
            seen.trace = ReadTrace(File("trace.log"));
            if (std::all_of(awaited.begin(), awaited.end(),
                            [&](const std::string& cmd) { return !Messages(seen, cmd).empty(); }))
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        // A platform that takes the unregistration has had the camera told to
        // leave already; a second signal would make it leave at once.
        if (!p.expectUnregister) cam.Signal(SIGTERM);
        r.cameraStatus = cam.Wait(30);
        sipp.Wait(5000);
        r.trace = ReadTrace(File("trace.log"));
        r.out = ReadFile(File("camera.out"));
        r.sippLog = ReadFile(File("sipp.err"));
        return r;
    }

    // The MESSAGE requests the camera sent, by CmdType, once per transaction.
    static std::vector<Traced> Messages(const Run& r, const std::string& cmd) {
        std::vector<Traced> out;
        std::set<std::string> seen;
        for (const auto& t : r.trace) {
            if (t.sent || t.FirstLine().rfind("MESSAGE ", 0) != 0) continue;
            if (t.Body().find("<CmdType>" + cmd + "</CmdType>") == std::string::npos) continue;
            if (seen.insert(t.Header("Call-ID") + t.Header("CSeq")).second) out.push_back(t);
        }
        return out;
    }
};

std::string Between(const std::string& s, const std::string& a, const std::string& b) {
    auto i = s.find(a);
    if (i == std::string::npos) return "";
    i += a.size();
    auto j = s.find(b, i);
    return j == std::string::npos ? "" : s.substr(i, j - i);
}

TEST_F(Wire, RegistersWithDigestAnswersEveryQueryRefreshesAndUnregisters) {
    for (bool tcp : {false, true}) {
        SCOPED_TRACE(tcp ? "TCP" : "UDP");
        Platform p;
        p.challenge = true;
        p.expires = 4; // refreshed after 3 s
        p.expectRefresh = true;
        p.queries = {
            {Query("Catalog", 10, kDev)},
            {Query("DeviceInfo", 11, kDev)},
            {Query("DeviceStatus", 12, kDev)},
            {Query("RecordInfo", 13, kDev,
                   "<StartTime>2026-03-03T08:00:00</StartTime>\n<EndTime>2026-03-03T10:30:00</EndTime>\n"
                   "<Type>all</Type>\n")},
            {Query("ConfigDownload", 14, kDev, "<ConfigType>BasicParam</ConfigType>\n")},
            {Query("DeviceControl", 15, kDev, "<PTZCmd>A50F0108C000007D</PTZCmd>\n", "Control")},
            {Query("DeviceConfig", 16, kDev,
                   "<BasicParam>\n<Name>cam</Name>\n<HeartBeatInterval>30</HeartBeatInterval>\n</BasicParam>\n",
                   "Control")},
        };
        Run r = Exchange(p, {"--keepalive", "1"}, tcp, [&](mt::Proc& cam) {
            // The unregistration is the scenario's last step: leave once it waits for it.
            EXPECT_TRUE(WaitFor(File("camera.out"), "registered with", 60, 2));
            EXPECT_TRUE(WaitFor(File("camera.out"), "Control DeviceConfig SN 16", 60));
            cam.Signal(SIGTERM);
        });
        EXPECT_TRUE(r.platformDone) << r.sippLog;
        EXPECT_EQ(r.cameraStatus, 0);
        EXPECT_NE(r.out.find("challenged (401), answering with digest"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("unregistered"), std::string::npos) << r.out;

        auto catalog = Messages(r, "Catalog");
        ASSERT_EQ(catalog.size(), 1u);
        std::string body = catalog[0].Body();
        EXPECT_EQ(catalog[0].Header("Content-Type"), "Application/MANSCDP+xml");
        EXPECT_EQ(std::stoul(catalog[0].Header("Content-Length")), body.size());
        EXPECT_EQ(body.rfind("<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n", 0), 0u);
        EXPECT_NE(body.find("<DeviceList Num=\"4\">"), std::string::npos) << body;
        EXPECT_NE(body.find("<SN>10</SN>"), std::string::npos);
        EXPECT_EQ(CountOf(body, "<Item>"), 4);
        // Channel names in GBK: 通道1 is CD A8 B5 C0 31.
        EXPECT_NE(body.find("<Name>\xCD\xA8\xB5\xC0" "1</Name>"), std::string::npos);
        EXPECT_FALSE(TextCodec::IsValidUtf8(body));
        EXPECT_NE(body.find("<DeviceID>34020000001310000101</DeviceID>"), std::string::npos);
        EXPECT_EQ(catalog[0].Header("From").find("<sip:34020000001320000001@3402000000>"), 0u);

        ASSERT_EQ(Messages(r, "DeviceInfo").size(), 1u);
        EXPECT_NE(Messages(r, "DeviceInfo")[0].Body().find("<Channel>4</Channel>"), std::string::npos);
        ASSERT_EQ(Messages(r, "DeviceStatus").size(), 1u);
        EXPECT_NE(Messages(r, "DeviceStatus")[0].Body().find("<Online>ONLINE</Online>"), std::string::npos);
        auto rec = Messages(r, "RecordInfo");
        ASSERT_EQ(rec.size(), 1u);
        // 08:00, 09:00 and 10:00 each start a recording; the query named the device,
        // so they are its first channel's.
        EXPECT_NE(rec[0].Body().find("<SumNum>3</SumNum>"), std::string::npos) << rec[0].Body();
        EXPECT_NE(rec[0].Body().find("<RecordList Num=\"3\">"), std::string::npos);
        EXPECT_NE(rec[0].Body().find("<StartTime>2026-03-03T09:00:00</StartTime>"), std::string::npos);
        EXPECT_NE(rec[0].Body().find("<EndTime>2026-03-03T10:30:00</EndTime>"), std::string::npos);
        EXPECT_EQ(CountOf(rec[0].Body(), "<DeviceID>34020000001310000101</DeviceID>"), 4);
        auto cfg = Messages(r, "ConfigDownload");
        ASSERT_EQ(cfg.size(), 1u);
        EXPECT_NE(cfg[0].Body().find("<SIPServerID>34020000002000000001</SIPServerID>"), std::string::npos);
        ASSERT_EQ(Messages(r, "DeviceControl").size(), 1u);
        EXPECT_NE(Messages(r, "DeviceControl")[0].Body().find("<Result>OK</Result>"), std::string::npos);
        EXPECT_NE(r.out.find("PTZ up speed 192 (A50F0108C000007D)"), std::string::npos) << r.out;
        ASSERT_EQ(Messages(r, "DeviceConfig").size(), 1u);
        EXPECT_NE(r.out.find("keepalive 30 s"), std::string::npos) << r.out;
        EXPECT_GE(Messages(r, "Keepalive").size(), 2u);

        // REGISTERs: the first, the one with credentials, the refresh and the
        // unregistration, all one Call-ID with a growing CSeq.
        std::vector<Traced> regs;
        for (const auto& t : r.trace)
            if (!t.sent && t.FirstLine().rfind("REGISTER ", 0) == 0) regs.push_back(t);
        ASSERT_GE(regs.size(), 4u);
        EXPECT_EQ(regs[0].FirstLine(), "REGISTER sip:34020000002000000001@127.0.0.1:" +
                                           Between(regs[0].FirstLine(), "127.0.0.1:", " ") + " SIP/2.0");
        EXPECT_NE(regs[1].Header("Authorization").find("username=\"34020000001320000001\""), std::string::npos);
        EXPECT_EQ(regs.back().Header("Expires"), "0");
        for (std::size_t i = 1; i < regs.size(); ++i) {
            EXPECT_EQ(regs[i].Header("Call-ID"), regs[0].Header("Call-ID"));
            EXPECT_GT(std::atoi(regs[i].Header("CSeq").c_str()), std::atoi(regs[i - 1].Header("CSeq").c_str()));
        }
    }
}


// Each SIP-level fault changes exactly what it claims in the Catalog answer:
// compared with the answer without faults.
TEST_F(Wire, CatalogAnswerFaults) {
    const std::string foreign = "34020000001320001001"; // the device's identifier + 1000
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::size_t messages;
        const char* list;     // start tag of the first DeviceList
        std::string fromUser; // of the answers
        double atLeast;       // seconds between the query and the answer
    };
    const Case cases[] = {
        {"no fault", {}, 1, "<DeviceList Num=\"4\">", kDev, 0},
        {"no-num", {"--fault", "no-num"}, 1, "<DeviceList>", kDev, 0},
        {"foreign-id", {"--fault", "foreign-id"}, 1, "<DeviceList Num=\"4\">", foreign, 0},
        {"late-answer", {"--fault", "late-answer", "--late-ms", "1500"}, 1, "<DeviceList Num=\"4\">", kDev, 1.5},
        {"per-message 3", {"--per-message", "3"}, 2, "<DeviceList Num=\"3\">", kDev, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Platform p;
        p.expectUnregister = false;
        p.queries = {{Query("Catalog", 20, kDev), 3000}};
        Run r = Exchange(p, c.args);
        EXPECT_TRUE(r.platformDone) << r.sippLog;
        auto answers = Messages(r, "Catalog");
        ASSERT_EQ(answers.size(), c.messages) << r.out;
        double querySent = 0;
        for (const auto& t : r.trace)
            if (t.sent && t.FirstLine().rfind("MESSAGE ", 0) == 0) querySent = t.time;
        const std::string body = answers[0].Body();
        EXPECT_NE(body.find(c.list), std::string::npos) << body;
        EXPECT_EQ(answers[0].Header("From").find("<sip:" + c.fromUser + "@"), 0u) << answers[0].Header("From");
        EXPECT_NE(body.find("<DeviceID>" + c.fromUser + "</DeviceID>\r\n <SumNum>4</SumNum>"), std::string::npos) << body;
        EXPECT_GE(answers[0].time - querySent, c.atLeast);
        int items = 0;
        for (const auto& a : answers) {
            items += CountOf(a.Body(), "<Item>");
            EXPECT_NE(a.Body().find("<SN>20</SN>"), std::string::npos);
        }
        EXPECT_EQ(items, 4);
        // The items are this device's in every case.
        EXPECT_NE(r.out.find("Catalog SN 20"), std::string::npos);
        bool all = true;
        for (int ch = 1; ch <= 4; ++ch) {
            bool found = false;
            for (const auto& a : answers)
                found = found || a.Body().find("<DeviceID>3402000000131000010" + std::to_string(ch)) != std::string::npos;
            all = all && found;
        }
        EXPECT_TRUE(all);
    }
}

// The signalling faults the device check exists to catch, each against the
// exchange it spoils; the first row is the same exchanges without a fault.
TEST_F(Wire, SignallingFaultsForTheDeviceCheck) {
    const std::string catalog = Query("Catalog", 20, kDev);
    const std::string records = Query("RecordInfo", 30, kDev,
                                      "<StartTime>2026-03-03T08:00:00</StartTime>\n"
                                      "<EndTime>2026-03-03T09:30:00</EndTime>\n<Type>all</Type>\n");
    const std::string ptz = Query("DeviceControl", 31, kDev, "<PTZCmd>A50F0108C000007D</PTZCmd>\n", "Control");
    // Characters of a GBK body, counted on its UTF-8 form.
    auto characters = [](const std::string& gbk) {
        std::size_t n = 0;
        for (unsigned char c : TextCodec::BodyToUtf8(gbk)) n += (c & 0xC0) != 0x80;
        return n;
    };
    auto firstSent = [](const Run& r, const std::string& line) {
        for (const auto& t : r.trace)
            if (t.sent && t.FirstLine().rfind(line, 0) == 0) return t.time;
        return 0.0;
    };
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::vector<Platform::Query> queries;
        std::function<void(const Run&)> check;
    };
    const Case cases[] = {
        {"no fault", {"--keepalive", "1"}, {{catalog, 5000}, {records}, {ptz}}, [&](const Run& r) {
             auto a = Messages(r, "Catalog");
             ASSERT_EQ(a.size(), 1u);
             EXPECT_EQ(std::stoul(a[0].Header("Content-Length")), a[0].Body().size());
             EXPECT_NE(a[0].Body().find("<SN>20</SN>"), std::string::npos);
             EXPECT_GE(Messages(r, "Keepalive").size(), 4u);
             ASSERT_EQ(Messages(r, "RecordInfo").size(), 1u);
             EXPECT_NE(Messages(r, "RecordInfo")[0].Body().find("<StartTime>2026-03-03T08:00:00</StartTime>"),
                       std::string::npos);
             ASSERT_EQ(Messages(r, "DeviceControl").size(), 1u);
             EXPECT_NE(Messages(r, "DeviceControl")[0].Body().find("<Result>OK</Result>"), std::string::npos);
         }},
        {"wrong-sn", {"--fault", "wrong-sn"}, {{catalog}, {records, 2000}}, [&](const Run& r) {
             for (const char* cmd : {"Catalog", "RecordInfo"}) {
                 auto a = Messages(r, cmd);
                 ASSERT_EQ(a.size(), 1u) << cmd;
                 EXPECT_NE(a[0].Body().find(cmd == std::string("Catalog") ? "<SN>1020</SN>" : "<SN>1030</SN>"),
                           std::string::npos)
                     << a[0].Body();
             }
             EXPECT_NE(r.out.find("Catalog SN 20 (answered as SN 1020)"), std::string::npos) << r.out;
         }},
        {"content-length-chars", {"--fault", "content-length-chars", "--keepalive", "1"}, {{catalog, 2500}},
         [&](const Run& r) {
             auto a = Messages(r, "Catalog");
             ASSERT_EQ(a.size(), 1u);
             const std::string body = a[0].Body();
             EXPECT_EQ(std::stoul(a[0].Header("Content-Length")), characters(body));
             EXPECT_LT(characters(body) + 8, body.size()); // four channel names of two characters
             // Bodies without Chinese text keep their byte count.
             auto k = Messages(r, "Keepalive");
             ASSERT_FALSE(k.empty());
             EXPECT_EQ(std::stoul(k[0].Header("Content-Length")), k[0].Body().size());
         }},
        {"slow-ok", {"--fault", "slow-ok", "--slow-ms", "1500"}, {{catalog, 2000}}, [&](const Run& r) {
             double sent = firstSent(r, "MESSAGE "), ok = 0;
             for (const auto& t : r.trace)
                 if (!t.sent && t.FirstLine() == "SIP/2.0 200 OK" && t.Header("CSeq") == "1 MESSAGE") ok = t.time;
             EXPECT_GE(ok - sent, 1.4);
             auto a = Messages(r, "Catalog");
             ASSERT_EQ(a.size(), 1u);
             EXPECT_GE(a[0].time, ok);
         }},
        {"no-ptz", {"--fault", "no-ptz"}, {{ptz, 2000, 501}}, [&](const Run& r) {
             EXPECT_TRUE(Messages(r, "DeviceControl").empty());
             EXPECT_NE(r.out.find("PTZ up speed 192; answered 501 (no-ptz)"), std::string::npos) << r.out;
         }},
        {"bad-record-times", {"--fault", "bad-record-times"}, {{records, 2000}}, [&](const Run& r) {
             auto a = Messages(r, "RecordInfo");
             ASSERT_EQ(a.size(), 1u);
             EXPECT_EQ(CountOf(a[0].Body(), "<StartTime>2026-03-03 0"), 2) << a[0].Body();
             EXPECT_NE(a[0].Body().find("<EndTime>2026-03-03T08:30</EndTime>"), std::string::npos);
             EXPECT_EQ(CountOf(a[0].Body(), "T08:00:00<"), 0);
         }},
        {"miss-keepalives", {"--fault", "miss-keepalives", "--keepalives", "2", "--keepalive", "1"},
         {{catalog, 5000}}, [&](const Run& r) {
             EXPECT_EQ(Messages(r, "Keepalive").size(), 2u);
             EXPECT_NE(r.out.find("keepalives stop after 2 (miss-keepalives)"), std::string::npos) << r.out;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Platform p;
        p.expectUnregister = false;
        p.queries = c.queries;
        // Each query's answer: the camera leaves only once they are all in.
        std::vector<std::string> awaited;
        for (const auto& q : c.queries)
            if (q.status == 200) awaited.push_back(Between(q.body, "<CmdType>", "</CmdType>"));
        Run r = Exchange(p, c.args, false, nullptr, 90, awaited);
        EXPECT_TRUE(r.platformDone) << r.sippLog << r.out;
        c.check(r);
    }
}

// Clear errors, and the exit status that goes with each.
TEST_F(Wire, CommandLineErrorsAndUnreachablePlatform) {
    int busy = mt::UdpSocket(0);
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(busy, reinterpret_cast<sockaddr*>(&a), &len);
    UniqueSocket hold(busy);
    const std::string busyPort = std::to_string(ntohs(a.sin_port));
    const std::string nobody = std::to_string(FreePort(SOCK_DGRAM));
    const std::string nobodyTcp = std::to_string(FreePort(SOCK_STREAM));
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string text;
    };
    const Case cases[] = {
        {{"--help"}, 0, "usage: tarvex-camera [options]"},
        {{"--version"}, 0, "tarvex-camera 2.0"},
        {{"--devices", "0"}, 2, "bad value '0' for --devices: 1 to 1000"},
        {{"--fault", "bogus"}, 2,
         "bad value 'bogus' for --fault: one of no-num, late-answer, foreign-id, dollar-tcp, ssrc-zero, "
         "content-length-chars, wrong-sn, miss-keepalives, slow-ok, bad-sdp, no-ptz, bad-record-times, rtp-gaps, "
         "contact-back, keepalive-error, no-media-status, fps-stamp, ps-bare-key"},
        {{"--server", "camera.local:5060"}, 2, "expected an IPv4 address"},
        {{"--frobnicate"}, 2, "unknown argument '--frobnicate'"},
        {{"--id", "3402"}, 2, "bad value '3402' for --id: expected 20 digits"},
        {{"--source", "/nonexistent/clip.mp4"}, 1, "media source: cannot open /nonexistent/clip.mp4"},
        {{"--local-port", busyPort, "--duration", "1"}, 1,
         "cannot open SIP port " + busyPort + "/udp: Address already in use"},
        {{"--server", "127.0.0.1:" + nobody, "--duration", "2"}, 0,
         "error: platform unreachable: nothing listens on 127.0.0.1:" + nobody + " over UDP"},
        {{"--server", "127.0.0.1:" + nobodyTcp, "--transport", "tcp", "--duration", "3"}, 0,
         "error: registration failed: cannot reach 127.0.0.1:" + nobodyTcp + " over TCP"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {kCamera};
        args.insert(args.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(args[1]);
        int st = testsupport::RunIn(dir.Path(), args, File("cli.log"), 60000);
        std::string out = ReadFile(File("cli.log"));
        EXPECT_EQ(st, c.status) << out;
        EXPECT_NE(out.find(c.text), std::string::npos) << out;
    }
}

// ---------------------------------------------------------------- media

struct Source {
    std::string path;
    std::vector<uint8_t> bytes;
    std::size_t units = 0;
};

class Media : public Wire {
protected:
    static void SetUpTestSuite() {
        dir_ = new std::string(mt::TempDir("camera"));
        src_ = new Source;
        src_->path = mt::MakeH264(*dir_, "src.h264", "320x240", 2);
        src_->bytes = mt::ReadFile(src_->path);
        src_->units = mt::PacketSizes(src_->path).size();
    }
    static void TearDownTestSuite() {
        mt::Run("rm -rf " + *dir_);
        delete dir_;
        delete src_;
    }
    static std::string* dir_;
    static Source* src_;
};
std::string* Media::dir_ = nullptr;
Source* Media::src_ = nullptr;

// Live view of a file through tarvex-recv over each transport: the elementary
// stream it writes is the file, the answer names the role and port.
TEST_F(Media, LiveViewOfAFileReachesTarvexRecvOverUdpAndBothTcpRoles) {
    ASSERT_GT(src_->units, 20u);
    struct Case {
        const char* name;
        int recvTransport;
        const char* proto;
        const char* setup;
        const char* answerLine;
        const char* reading = "rfc4145"; // the camera's --setup
    };
    // tarvex-recv's transport 1 connects to the port + 2, 2 listens.
    const Case cases[] = {
        {"UDP", 0, "RTP/AVP", "", "RTP/AVP 96"},
        {"TCP, we are active: the camera listens", 1, "TCP/RTP/AVP", "active", "a=setup:passive"},
        {"TCP, we are passive: the camera connects", 2, "TCP/RTP/AVP", "passive",
         "a=setup:active"},
        {"TCP, legacy, camera listens", 1, "TCP/RTP/AVP", "passive", "a=setup:passive", "legacy"},
        {"TCP, legacy, camera connects", 2, "TCP/RTP/AVP", "active", "a=setup:active", "legacy"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint16_t port = mt::FreePortBase();
        Platform p;
        p.expectUnregister = false;
        p.inviteTo = "34020000001310000101";
        p.offer = Offer("Play", port, c.proto, c.setup, "0100000001");
        p.holdMs = 8000;
        // The receiver runs until the call ends: a receiver that leaves early
        // would end the call itself (the camera sends BYE when its TCP peer goes).
        std::vector<std::string> recv = {kRecv, "--port", std::to_string(port), "--transport",
                                         std::to_string(c.recvTransport), "--seconds", "60",
                                         "--out", File("out.h264")};
        std::unique_ptr<mt::Proc> receiver;
        if (c.recvTransport != 1) {
            receiver = std::make_unique<mt::Proc>(recv, File("recv.out"), File("recv.err"));
            ASSERT_TRUE(WaitFor(File("recv.err"), "receiving on port", 20));
        }
        Run r = Exchange(p, {"--source", src_->path, "--setup", c.reading}, false, [&](mt::Proc&) {
            if (c.recvTransport == 1) {
                // Tarvex's receiver connects to the device once the answer is in.
                ASSERT_TRUE(WaitFor(File("camera.out"), "answered 200", 30));
                recv.insert(recv.end(), {"--peer", "127.0.0.1"});
                receiver = std::make_unique<mt::Proc>(recv, File("recv.out"), File("recv.err"));
            }
        });
        EXPECT_TRUE(r.platformDone) << r.sippLog;
        ASSERT_TRUE(receiver);
        receiver->Signal(SIGTERM);
        EXPECT_EQ(receiver->Wait(60), 0) << ReadFile(File("recv.err"));
        // The file, played in a loop: its first pass arrives whole.
        auto out = mt::ReadFile(File("out.h264"));
        ASSERT_GE(out.size(), src_->bytes.size());
        EXPECT_TRUE(std::equal(src_->bytes.begin(), src_->bytes.end(), out.begin()))
            << "the received stream differs from the file";
        std::string answer;
        for (const auto& t : r.trace)
            if (!t.sent && t.FirstLine() == "SIP/2.0 200 OK" && t.Header("CSeq").find("INVITE") != std::string::npos)
                answer = t.Body();
        EXPECT_NE(answer.find(c.answerLine), std::string::npos) << answer;
        EXPECT_NE(answer.find("y=0100000001"), std::string::npos);
        EXPECT_NE(answer.find("a=rtpmap:96 PS/90000"), std::string::npos);
        if (c.recvTransport == 1) {
            EXPECT_NE(answer.find("m=video " + std::to_string(port + 2) + " TCP/RTP/AVP"), std::string::npos);
        }
        EXPECT_NE(r.out.find("stream Play ended (BYE received)"), std::string::npos) << r.out;
    }
}

// The packets themselves, taken by our own sockets: payload type 96, the
// offer's SSRC (or 0 with the fault), one timestamp per picture with the
// marker on its last packet, in order; on TCP RFC 4571 framing (or '$' with
// the fault). ffprobe sees an MPEG-2 program stream with H.264, and ffmpeg
// extracts the file from it.
struct Captured {
    std::vector<std::vector<uint8_t>> packets;
    std::string framing; // first bytes of the TCP stream
};

std::vector<std::vector<uint8_t>> Unframe(const std::vector<uint8_t>& s, bool dollar, bool& ok) {
    std::vector<std::vector<uint8_t>> out;
    std::size_t i = 0, head = dollar ? 4 : 2;
    ok = true;
    while (i + head <= s.size()) {
        if (dollar && (s[i] != '$' || s[i + 1] != 0)) {
            ok = false;
            break;
        }
        std::size_t n = static_cast<std::size_t>(s[i + head - 2] << 8 | s[i + head - 1]);
        if (i + head + n > s.size()) break;
        out.emplace_back(s.begin() + static_cast<long>(i + head), s.begin() + static_cast<long>(i + head + n));
        i += head + n;
    }
    return out;
}

TEST_F(Media, PacketsOnTheWireAndTheirFaults) {
    struct Case {
        const char* name;
        bool tcp;
        std::vector<std::string> faults;
        uint32_t ssrc;
        bool dollar;
        bool yLine = true; // in the SDP answer
        int pt = 96;
    };
    const Case cases[] = {
        {"UDP", false, {}, 100000001u, false},
        {"UDP, --pt 98", false, {"--pt", "98"}, 100000001u, false, true, 98},
        {"UDP, ssrc-zero", false, {"--fault", "ssrc-zero"}, 0u, false},
        {"UDP, bad-sdp", false, {"--fault", "bad-sdp"}, 100000001u, false, false},
        {"TCP", true, {}, 100000001u, false},
        {"TCP, dollar-tcp", true, {"--fault", "dollar-tcp"}, 100000001u, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint16_t port = mt::FreePortBase();
        int udp = -1;
        UniqueSocket listener;
        if (c.tcp) {
            listener.reset(socket(AF_INET, SOCK_STREAM, 0));
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(port);
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
            listen(listener.get(), 1);
        } else {
            udp = mt::UdpSocket(port);
            ASSERT_GE(udp, 0);
            int big = 8 << 20;
            setsockopt(udp, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        }
        UniqueSocket udpOwner(udp);
        Platform p;
        p.expectUnregister = false;
        // RFC 4145: we are passive, the camera connects.
        p.offer = Offer("Play", port, c.tcp ? "TCP/RTP/AVP" : "RTP/AVP", c.tcp ? "passive" : "",
                        "0100000001");
        p.holdMs = 4000;
        std::vector<uint8_t> stream;
        Captured cap;
        std::vector<std::string> extra = {"--source", src_->path};
        extra.insert(extra.end(), c.faults.begin(), c.faults.end());
        Run r = Exchange(p, extra, false, [&](mt::Proc&) {
            auto end = std::chrono::steady_clock::now() + std::chrono::seconds(40);
            int conn = -1;
            std::vector<uint8_t> buf(65536);
            // Until the camera's BYE answer ends the stream: 3 s of media are plenty.
            while (std::chrono::steady_clock::now() < end) {
                if (c.tcp && conn < 0) {
                    pollfd pl{listener.get(), POLLIN, 0};
                    if (poll(&pl, 1, 100) > 0) conn = accept(listener.get(), nullptr, nullptr);
                    continue;
                }
                pollfd pl{c.tcp ? conn : udp, POLLIN, 0};
                if (poll(&pl, 1, 200) <= 0) {
                    if (WaitFor(File("camera.out"), "stream Play ended", 0)) break;
                    continue;
                }
                ssize_t n = recv(pl.fd, buf.data(), buf.size(), 0);
                if (n <= 0) break;
                if (c.tcp) stream.insert(stream.end(), buf.begin(), buf.begin() + n);
                else cap.packets.emplace_back(buf.begin(), buf.begin() + n);
            }
            if (conn >= 0) close(conn);
        });
        EXPECT_TRUE(r.platformDone) << r.sippLog;
        std::string answer;
        for (const auto& t : r.trace)
            if (!t.sent && t.FirstLine() == "SIP/2.0 200 OK" && t.Header("CSeq").find("INVITE") != std::string::npos)
                answer = t.Body();
        const std::string pt = std::to_string(c.pt);
        EXPECT_NE(answer.find("a=rtpmap:" + pt + " PS/90000"), std::string::npos) << answer;
        EXPECT_NE(answer.find("AVP " + pt + "\r\n"), std::string::npos) << answer;
        EXPECT_EQ(answer.find("y=") != std::string::npos, c.yLine) << answer;
        if (c.tcp) {
            bool ok = false;
            cap.packets = Unframe(stream, c.dollar, ok);
            EXPECT_TRUE(ok) << "a frame without '$' and channel 0";
            ASSERT_GT(stream.size(), 4u);
            if (!c.dollar) {
                EXPECT_EQ(stream[2], 0x80); // RTP version 2 right after the length
            }
        }
        ASSERT_GT(cap.packets.size(), 50u);
        std::vector<uint8_t> ps;
        uint16_t seq = 0;
        uint32_t ts = 0;
        int frames = 0, markers = 0;
        for (std::size_t i = 0; i < cap.packets.size(); ++i) {
            const auto& k = cap.packets[i];
            ASSERT_GT(k.size(), 12u);
            EXPECT_EQ(k[0], 0x80);
            EXPECT_EQ(k[1] & 0x7F, c.pt);
            uint32_t ssrc = static_cast<uint32_t>(k[8] << 24 | k[9] << 16 | k[10] << 8 | k[11]);
            EXPECT_EQ(ssrc, c.ssrc);
            uint16_t s = static_cast<uint16_t>(k[2] << 8 | k[3]);
            uint32_t t = static_cast<uint32_t>(k[4] << 24 | k[5] << 16 | k[6] << 8 | k[7]);
            if (i) {
                EXPECT_EQ(s, static_cast<uint16_t>(seq + 1)) << "packet " << i;
            }
            if (i && t != ts) {
                ++frames;
                EXPECT_TRUE(cap.packets[i - 1][1] & 0x80) << "marker on the last packet of a picture";
            }
            markers += (k[1] & 0x80) != 0;
            seq = s;
            ts = t;
            ps.insert(ps.end(), k.begin() + 12, k.end());
        }
        EXPECT_GE(markers, frames);
        mt::WriteFile(File("cap.ps"), ps);
        std::string probe = mt::Capture("ffprobe -v error -show_entries format=format_name:stream=codec_name,id,width,height -of default=nw=1 " + File("cap.ps"));
        EXPECT_NE(probe.find("format_name=mpeg"), std::string::npos) << probe;
        EXPECT_NE(probe.find("codec_name=h264"), std::string::npos) << probe;
        EXPECT_NE(probe.find("id=0x1e0"), std::string::npos) << probe;
        EXPECT_NE(probe.find("width=320"), std::string::npos) << probe;
        // What ffmpeg extracts is the file, repeated: the first pass is the file itself.
        auto es = mt::ExtractES(File("cap.ps"), File("cap.h264"));
        ASSERT_GE(es.size(), src_->bytes.size());
        EXPECT_TRUE(std::equal(src_->bytes.begin(), src_->bytes.end(), es.begin()));
    }
}

// A download is paced at the offered speed and ended by the camera: a
// MediaStatus notification, then its BYE. The pictures are the test pattern.
TEST_F(Media, DownloadOfThePatternEndsWithMediaStatusAndBye) {
    uint16_t port = mt::FreePortBase();
    mt::Proc recv({kRecv, "--port", std::to_string(port), "--seconds", "60", "--out", File("dl.h264")},
                  File("recv.out"), File("recv.err"));
    ASSERT_TRUE(WaitFor(File("recv.err"), "receiving on port", 20));
    Platform p;
    p.expectUnregister = false;
    // Eight seconds of recording at speed 4.
    p.offer = Offer("Download", port, "RTP/AVP", "", "1100000001", 1772500000, 1772500008, 4);
    p.deviceSendsBye = true;
    p.holdMs = 40000;
    Run r = Exchange(p, {"--size", "320x240", "--fps", "25"});
    EXPECT_TRUE(r.platformDone) << r.sippLog;
    recv.Signal(SIGTERM);
    EXPECT_EQ(recv.Wait(30), 0);
    auto status = Messages(r, "MediaStatus");
    ASSERT_EQ(status.size(), 1u);
    EXPECT_NE(status[0].Body().find("<NotifyType>121</NotifyType>"), std::string::npos);
    EXPECT_NE(r.out.find("at speed 4.0"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("download finished, MediaStatus 121 sent): 200 frames"), std::string::npos) << r.out;
    // The receiver holds back the last picture: 199 of the 200 decode.
    std::string frames = mt::Capture("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                                     "stream=nb_read_frames,width,height -of default=nw=1 " + File("dl.h264"));
    EXPECT_NE(frames.find("nb_read_frames=199"), std::string::npos) << frames;
    EXPECT_NE(frames.find("width=320"), std::string::npos) << frames;
}

// Playback control: after PAUSE nothing is sent until PLAY; a PLAY whose
// range starts near the end of the recording seeks there, and the end
// (MediaStatus) follows at once.
TEST_F(Media, PlaybackPausesResumesAndSeeks) {
    uint16_t port = mt::FreePortBase();
    int udp = mt::UdpSocket(port);
    ASSERT_GE(udp, 0);
    UniqueSocket owner(udp);
    Platform p;
    p.expectUnregister = false;
    p.offer = Offer("Playback", port, "RTP/AVP", "", "1100000001", 1772500000, 1772503600);
    p.infos = {{1500, Rtsp("PAUSE", "1.0", 0)},
               {2000, Rtsp("PLAY", "2.0", 0)},
               {1000, Rtsp("PLAY", "1.0", 57)}};
    p.holdMs = 6000;
    using SysClock = std::chrono::system_clock;
    std::vector<double> arrivals;
    Run r = Exchange(p, {"--size", "320x240", "--clip", "60"}, false, [&](mt::Proc&) {
        std::vector<uint8_t> buf(65536);
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < end &&
               !WaitFor(File("camera.out"), "stream Playback ended", 0)) {
            pollfd pl{udp, POLLIN, 0};
            if (poll(&pl, 1, 100) > 0 && recv(udp, buf.data(), buf.size(), 0) > 0)
                arrivals.push_back(std::chrono::duration<double>(SysClock::now().time_since_epoch()).count());
        }
    });
    EXPECT_TRUE(r.platformDone) << r.sippLog;
    std::vector<double> infoSent, infoAnswered;
    for (const auto& t : r.trace) {
        if (t.sent && t.FirstLine().rfind("INFO ", 0) == 0) infoSent.push_back(t.time);
        if (!t.sent && t.Header("CSeq").find("INFO") != std::string::npos) infoAnswered.push_back(t.time);
    }
    ASSERT_EQ(infoSent.size(), 3u);
    ASSERT_GE(infoAnswered.size(), 3u);
    // Packets in flight when the pause took effect arrive within moments.
    int duringPause = 0, afterResume = 0;
    for (double a : arrivals) {
        duringPause += a > infoAnswered[0] + 0.5 && a < infoSent[1];
        afterResume += a > infoAnswered[1];
    }
    EXPECT_EQ(duringPause, 0);
    EXPECT_GT(afterResume, 10);
    EXPECT_NE(r.out.find("INFO PAUSE on Playback"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("INFO PLAY scale 2.0 on Playback"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("seek to 57.0 s"), std::string::npos) << r.out;
    // Without the seek the 60 s recording would not end within the hold.
    auto status = Messages(r, "MediaStatus");
    ASSERT_EQ(status.size(), 1u);
    EXPECT_GT(status[0].time, infoSent[2]);
}

} // namespace
} // namespace camtest

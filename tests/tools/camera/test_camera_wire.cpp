// tarvex-camera against independent peers: SIPp plays the platform (challenge,
// queries, INVITE, INFO, BYE, unregistration) and its message trace is read
// back; tarvex-recv, ffmpeg and our own sockets take the media.

#include "CameraTest.h"
#include "PlatformScenario.h"
#include "Sipp.h"
#include "base/TextCodec.h"

#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <regex>
#include <set>

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
    Run Exchange(Platform p, std::vector<std::string> cameraExtra, bool tcp = false,
                 const std::function<void(mt::Proc&)>& between = nullptr, int sippSeconds = 90) {
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
        // SIPp binds before it reads the scenario's first message.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        std::vector<std::string> args = CameraArgs(port, cameraExtra);
        if (tcp) args.insert(args.end(), {"--transport", "tcp"});
        mt::Proc cam(args, File("camera.out"), File("camera.err"));
        if (between) between(cam);
        r.platformDone = WaitFor(File("done"), kPlatformDone, sippSeconds);
        cam.Signal(SIGTERM);
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

} // namespace
} // namespace camtest

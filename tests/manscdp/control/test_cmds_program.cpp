// The real program offscreen with SIPp as the camera: an operator script
// clicks signalling and media rows and answers the search dialog; the camera
// receives the bodies with the settings' values and the search conditions.

#include "BodyHarness.h"
#include "base/TextCodec.h"
#include "support/common/Sipp.h"
#include "support/common/ChildProcess.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <chrono>
#include <sstream>
#include <thread>

namespace {

constexpr const char* kLocalId = "34020000002000000001";
constexpr const char* kChannel = "34010000001310000001";

using testsupport::RunIn;

} // namespace

TEST(CommandsProgram, ScriptedClicksReachTheCamera) {
    TempDir dir;
    const int port = FreePort(SOCK_DGRAM);
    ASSERT_GT(port, 0);
    std::ostringstream ini;
    ini << "[" << TextCodec::Utf8ToGbk("本地服务器") << "]\n"
        << TextCodec::Utf8ToGbk("协议") << "=0\n"
        << "ID=" << kLocalId << "\n"
        << TextCodec::Utf8ToGbk("域") << "=3402000000\n"
        << TextCodec::Utf8ToGbk("地址") << "=127.0.0.1\n"
        << TextCodec::Utf8ToGbk("端口") << "=" << port << "\n"
        << "[" << TextCodec::Utf8ToGbk("互联系统") << "]\n"
        << TextCodec::Utf8ToGbk("注册时间") << "=1800\n"
        << TextCodec::Utf8ToGbk("心跳周期") << "=45\n";
    WriteFile(dir.File("config.ini"), ini.str());
    WriteFile(dir.File("run.txt"), std::string("wait-registered 20000\n"
                                               "wait-log DeviceInfo 20000\n"
                                               "sleep 300\n"
                                               "click 1080 7\n"
                                               "click 1080 3\n"
                                               "tree ") +
                                       kChannel +
                                       "\n"
                                       "search 2026-03-01T08:00:00 2026-03-01T20:00:00 1\n"
                                       "click 1081 3\n"
                                       "click 1081 4\n"
                                       "sleep 1500\n"
                                       "exit\n");
    DeviceScript s;
    s.deviceId = kDevice;
    s.firstPauseMs = 1500;
    s.catalog = {CatalogAnswer(kDevice, 1, {kChannel})};
    s.holdMs = 9000;
    WriteFile(dir.File("cam.xml"), MainScenario(s));
    WriteFile(dir.File("cam-ooc.xml"), OocScenario(s));
    const int sippPort = FreePort(SOCK_DGRAM);
    SippProcess sipp;
    ASSERT_TRUE(sipp.Start({"127.0.0.1:" + std::to_string(port),
                            "-sf",
                            dir.File("cam.xml"),
                            "-oocsf",
                            dir.File("cam-ooc.xml"),
                            "-i",
                            "127.0.0.1",
                            "-p",
                            std::to_string(sippPort),
                            "-m",
                            "1",
                            "-t",
                            "u1",
                            "-nostdin",
                            "-timeout",
                            "60s",
                            "-trace_msg",
                            "-message_file",
                            dir.File("cam.msg"),
                            "-trace_err",
                            "-error_file",
                            dir.File("cam.err")},
                           dir.File("cam.out")));
    const int rc =
        RunIn(dir.Path(), {std::string(TARVEX_BINARY_DIR) + "/tarvex", "--script", "run.txt"},
              dir.File("tarvex.out"), 60000);
    const std::string out = ReadFile(dir.File("tarvex.out"));
    EXPECT_EQ(rc, 0) << out;
    EXPECT_EQ(sipp.Wait(30000), 0)
        << ReadFile(dir.File("cam.out")) << ReadFile(dir.File("cam.err"));
    const std::string trace = ReadFile(dir.File("cam.msg"));
    auto received = [&](const std::string& body) {
        EXPECT_NE(trace.find("\r\n\r\n" + body), std::string::npos) << body << "\n---- program:\n"
                                                                    << out << "\n---- trace:\n"
                                                                    << trace.substr(0, 6000);
    };
    // Catalog 10 and DeviceInfo 11 came first from the automatic chain.
    received(
        Expected("Control", "DeviceConfig", 12,
                 {" <BasicParam>", "  <Name>Korvane IPC</Name>", "  <Expiration>1800</Expiration>",
                  "  <HeartBeatInterval>45</HeartBeatInterval>",
                  "  <HeartBeatCount>3</HeartBeatCount>", " </BasicParam>"}));
    received(Expected("Control", "DeviceControl", 13, {" <TeleBoot>Boot</TeleBoot>"}));
    received(Expected("Query", "RecordInfo", 14,
                      {" <StartTime>2026-03-01T08:00:00</StartTime>",
                       " <EndTime>2026-03-01T20:00:00</EndTime>", " <Type>manual</Type>",
                       " <FilePath>64010000002100000001</FilePath>", " <Address>Address1</Address>",
                       " <Secrecy>0</Secrecy>", " <RecorderID>64010000003000000001</RecorderID>"}));
    received(Expected("Control", "DeviceControl", 15, {" <RecordCmd>Record</RecordCmd>"}));
    // The conditions stay for the next run.
    const std::string search = ReadFile(dir.File("Search.ini"));
    EXPECT_NE(search.find(TextCodec::Utf8ToGbk("开始时间") + "=2026-03-01T08:00:00"),
              std::string::npos)
        << search;
    EXPECT_NE(search.find(TextCodec::Utf8ToGbk("端口") + "=1"), std::string::npos) << search;
}

// build/tarvex as a black box, offscreen: driven by operator scripts with SIPp
// playing the camera, closed by the exit button or by SIGTERM, its workbook
// read back with xlrd.

#include "Harness.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <filesystem>
#include <set>

using namespace systest;

namespace {
const char* kDevice = "34010000001320000001";
}

TEST(Program, ScriptRegistersCameraRunsTheChainAndTheWorkbookHoldsEveryMessage) {
    TempDir dir;
    const int port = FreePort(SOCK_DGRAM);
    WriteFile(dir.File("config.ini"), Config(port));
    WriteFile(dir.File("check.txt"),
              "# a camera registers, the chain runs, the operator asks again\n"
              "wait-registered 20000\n"
              "wait-log <CmdType>Catalog</CmdType> 20000\n"
              "wait-log 34010000001310000002 20000\n"
              "tree 34010000001310000001\n"
              "wait-log <Online>ONLINE</Online> 20000\n"
              "click 1080 0          # 信息查询\n"
              "sleep 1500\n"
              "shot window.png\n"
              "exit\n");
    DeviceScript cam;
    cam.deviceId = kDevice;
    cam.firstPauseMs = 500;
    cam.catalog = {CatalogAnswer(kDevice, 2, {"34010000001310000001", "34010000001310000002"})};
    cam.deviceInfo = SimpleAnswer("DeviceInfo", kDevice, "<DeviceName>IPC</DeviceName>\r\n");
    cam.deviceStatus = SimpleAnswer("DeviceStatus", kDevice, "<Online>ONLINE</Online>\r\n");
    cam.holdMs = 12000;
    Program tarvex(dir.Path(), {"--script", "check.txt"});
    ASSERT_TRUE(tarvex.WaitOut("SIP endpoint start transport 0")) << tarvex.Out();
    Camera camera(dir, "cam", false);
    ASSERT_TRUE(camera.Start(port, cam));
    const int rc = tarvex.Wait(60000);
    const std::string out = tarvex.Out();
    ASSERT_EQ(rc, 0) << out << camera.Report();
    EXPECT_NE(out.find("] registered"), std::string::npos);
    EXPECT_NE(out.find("click 1080 row 0: 信息查询"), std::string::npos) << out;
    EXPECT_NE(out.find("line 10: exit"), std::string::npos);
    EXPECT_EQ(out.find("FAILED"), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(dir.File("window.png")));
    // The exit button stored the settings.
    const std::string ini = TextCodec::GbkToUtf8(ReadFile(dir.File("config.ini")));
    EXPECT_NE(ini.find("端口=" + std::to_string(port)), std::string::npos) << ini;
    EXPECT_EQ(camera.Wait(), 0) << camera.Report();

    // Every message once: the REGISTER and its 200; per query the query, its
    // 200, the answer and our 200 to it (Catalog, DeviceInfo twice, DeviceStatus).
    const auto rows = ReadWorkbook(dir);
    int recv = 0, send = 0, catalogQueries = 0, infoQueries = 0, statusAnswers = 0;
    for (const auto& r : rows) {
        const bool received = r.sheet == "Recv Msg";
        recv += received;
        send += !received;
        EXPECT_EQ(r.device, kDevice) << r.head;
        EXPECT_EQ(r.time.substr(0, 2), "20");
        EXPECT_EQ(r.time.size(), 23u);
        const std::string cmd = CmdOf(r.body);
        const bool query = !received && r.head.rfind("MESSAGE ", 0) == 0;
        if (query && cmd == "Catalog") {
            ++catalogQueries;
            EXPECT_EQ(r.type, "目录查询\n"); // the query's description
        }
        infoQueries += query && cmd == "DeviceInfo";
        statusAnswers += received && cmd == "DeviceStatus";
    }
    EXPECT_EQ(recv, 1 + 4 * 2);
    EXPECT_EQ(send, 1 + 4 * 2);
    EXPECT_EQ(catalogQueries, 1);
    EXPECT_EQ(infoQueries, 2);
    EXPECT_EQ(statusAnswers, 1);
}

TEST(Program, ScriptedClicksReachTheCameraWithSettingsAndSearchConditions) {
    TempDir dir;
    const int port = FreePort(SOCK_DGRAM);
    WriteFile(dir.File("config.ini"),
              Config(port, 0, "\r\n[互联系统]\r\n注册时间=1800\r\n心跳周期=45\r\n"));
    const std::string channel = "34010000001310000001";
    WriteFile(dir.File("run.txt"), "wait-registered 20000\n"
                                   "wait-log DeviceInfo 20000\n"
                                   "sleep 300\n"
                                   "click 1080 7\n"
                                   "click 1080 3\n"
                                   "tree " + channel + "\n"
                                   "search 2026-03-01T08:00:00 2026-03-01T20:00:00 1\n"
                                   "click 1081 3\n"
                                   "click 1081 4\n"
                                   "sleep 1500\n"
                                   "exit\n");
    DeviceScript s;
    s.deviceId = kDevice;
    s.firstPauseMs = 500;
    s.catalog = {CatalogAnswer(kDevice, 1, {channel})};
    s.holdMs = 9000;
    Program tarvex(dir.Path(), {"--script", "run.txt"});
    ASSERT_TRUE(tarvex.WaitOut("SIP endpoint start transport 0")) << tarvex.Out();
    Camera camera(dir, "cam", false);
    ASSERT_TRUE(camera.Start(port, s));
    EXPECT_EQ(tarvex.Wait(60000), 0) << tarvex.Out();
    EXPECT_EQ(camera.Wait(), 0) << camera.Report();
    std::map<int, std::string> bySn;
    for (const auto& m : ReceivedRequests(camera.Trace(), "MESSAGE")) bySn[SnOf(m.Body())] = m.Body();
    // Catalog 10 and DeviceInfo 11 came first from the automatic chain.
    EXPECT_NE(bySn[12].find("<Expiration>1800</Expiration>\r\n  <HeartBeatInterval>45</HeartBeatInterval>"),
              std::string::npos)
        << bySn[12];
    EXPECT_NE(bySn[13].find(" <TeleBoot>Boot</TeleBoot>\r\n"), std::string::npos);
    EXPECT_NE(bySn[14].find(" <StartTime>2026-03-01T08:00:00</StartTime>\r\n <EndTime>2026-03-01T20:00:00"
                            "</EndTime>\r\n <Type>manual</Type>\r\n"),
              std::string::npos)
        << bySn[14];
    EXPECT_NE(bySn[15].find(" <RecordCmd>Record</RecordCmd>\r\n"), std::string::npos);
    // The conditions stay for the next run.
    const std::string search = ReadFile(dir.File("Search.ini"));
    EXPECT_NE(search.find(TextCodec::Utf8ToGbk("开始时间") + "=2026-03-01T08:00:00"), std::string::npos) << search;
}

TEST(Program, SigtermClosesLikeTheCloseBox) {
    TempDir dir;
    const int port = FreePort(SOCK_DGRAM);
    const std::string config = Config(port) + "\r\n# hand-written comment\r\n";
    WriteFile(dir.File("config.ini"), config);
    Program tarvex(dir.Path(), {"--verbose"});
    ASSERT_TRUE(tarvex.WaitOut("SIP endpoint start transport 0")) << tarvex.Out();
    tarvex.Signal(SIGTERM);
    EXPECT_EQ(tarvex.Wait(20000), 0) << tarvex.Out();
    // A diagnostic: with --verbose only, in UTF-8 on standard error.
    EXPECT_NE(tarvex.Out().find("tarvex: signal received"), std::string::npos) << tarvex.Out();
    // Not stored (the file is byte for byte as written), but the log is saved.
    EXPECT_EQ(ReadFile(dir.File("config.ini")), config);
    EXPECT_TRUE(std::filesystem::exists(dir.File("MsgXml.xls")));
    // Without --verbose the same close says nothing of it.
    Program quiet(dir.Path(), {}, TARVEX_BINARY_DIR "/tarvex", {}, dir.File("quiet.out"));
    ASSERT_TRUE(quiet.WaitOut("SIP endpoint start transport 0")) << quiet.Out();
    quiet.Signal(SIGTERM);
    EXPECT_EQ(quiet.Wait(20000), 0) << quiet.Out();
    EXPECT_EQ(quiet.Out().find("signal received"), std::string::npos) << quiet.Out();
}

TEST(Program, WithoutConfigTheFirstRunListensAndWritesItsValuesAndScriptFailuresExitOne) {
    TempDir dir;
    // 5060 in config.ini; the test's own free port for this run through --port.
    const int port = FreePort(SOCK_DGRAM);
    WriteFile(dir.File("run.txt"), "about\nwait-registered 8000\nexit\n");
    Program tarvex(dir.Path(), {"--port", std::to_string(port), "--script", "run.txt"});
    ASSERT_TRUE(tarvex.WaitOut("SIP endpoint start transport 0 port " + std::to_string(port) + ": 0"))
        << tarvex.Out();
    // A peer of its own: a REGISTER over UDP is answered from that port.
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<unsigned short>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    sockaddr_in me{};
    socklen_t len = sizeof me;
    getsockname(fd, reinterpret_cast<sockaddr*>(&me), &len);
    const std::string at = "127.0.0.1:" + std::to_string(ntohs(me.sin_port));
    const std::string options =
        "REGISTER sip:34020000002000000001@127.0.0.1 SIP/2.0\r\n"
        "Via: SIP/2.0/UDP " + at + ";rport;branch=z9hG4bK-first-run-1\r\n"
        "From: <sip:34020000001320000001@" + at + ">;tag=fr1\r\n"
        "To: <sip:34020000001320000001@127.0.0.1>\r\n"
        "Call-ID: first-run-1@127.0.0.1\r\nCSeq: 1 REGISTER\r\nMax-Forwards: 70\r\n"
        "Contact: <sip:34020000001320000001@" + at + ">\r\nExpires: 3600\r\nContent-Length: 0\r\n\r\n";
    ASSERT_EQ(send(fd, options.data(), options.size(), 0), static_cast<ssize_t>(options.size()));
    char buf[4096];
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    close(fd);
    ASSERT_GT(n, 0) << "no answer on " << port;
    EXPECT_EQ(std::string(buf, static_cast<std::size_t>(n)).rfind("SIP/2.0 200 ", 0), 0u)
        << std::string(buf, static_cast<std::size_t>(n));
    EXPECT_EQ(tarvex.Wait(30000), 0) << tarvex.Out();
    const std::string out = tarvex.Out();
    EXPECT_NE(out.find("about: Tarvex 2.0"), std::string::npos);
    EXPECT_NE(out.find("line 3: exit"), std::string::npos) << out;
    // The first run's values were written, and the exit button stored them again;
    // the port of the command line was for this run only.
    const std::string ini = TextCodec::GbkToUtf8(ReadFile(dir.File("config.ini")));
    for (const char* line : {"[本地服务器]\r\n协议=0\r\nID=34020000002000000001\r\n域=3402000000\r\n",
                             "端口=5060\r\n密码=12345678\r\n", "[互联系统]\r\nID=34020000001320000001\r\n",
                             "心跳周期=60\r\n", "[媒体接收者]\r\n协议=0\r\n", "端口=6000\r\n"})
        EXPECT_NE(ini.find(line), std::string::npos) << line << " in\n" << ini;
    EXPECT_EQ(ini.find("=-1"), std::string::npos) << ini;
    EXPECT_EQ(ini.find("=255"), std::string::npos) << ini;
    EXPECT_EQ(ini.find("端口=" + std::to_string(port)), std::string::npos) << ini;

    WriteFile(dir.File("syntax.txt"), "sleep 10\nfly away\n");
    Program p2(dir.Path(), {"--script", "syntax.txt"});
    EXPECT_EQ(p2.Wait(30000), 1);
    EXPECT_NE(p2.Out().find("syntax.txt: line 2: unknown action \"fly\""), std::string::npos);
}

// Messages already received when SIGTERM comes are handled and logged, every
// one, before the workbook is written.
TEST(Program, BurstOfMessagesThenSigtermEveryOneInTheWorkbook) {
    TempDir dir;
    const int port = FreePort(SOCK_DGRAM);
    WriteFile(dir.File("config.ini"), Config(port));
    Program tarvex(dir.Path(), {});
    ASSERT_TRUE(tarvex.WaitOut("SIP endpoint start transport 0")) << tarvex.Out();
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    auto send = [&](const std::string& method, int n, const std::string& body) {
        const std::string k = std::to_string(n);
        const std::string m = method + " sip:" + kLocalId + "@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:9;"
                              "rport;branch=z9hG4bKburst" + k + "\r\nFrom: <sip:" + kDevice +
                              "@127.0.0.1:9>;tag=b" + k + "\r\nTo: <sip:" + kLocalId + "@127.0.0.1>\r\nCall-ID: burst" +
                              k + "\r\nCSeq: 1 " + method + "\r\nMax-Forwards: 70\r\nContent-Type: Application/MANSCDP+xml\r\nContent-Length: " +
                              std::to_string(body.size()) + "\r\n\r\n" + body;
        ::send(fd, m.data(), m.size(), 0);
    };
    send("REGISTER", 0, "");
    ASSERT_TRUE(WaitPortBound(port, false));
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the REGISTER is in
    constexpr int kBurst = 1000;
    // About five hundred a second: a loaded machine's socket buffer takes them all
    // even while the program waits for a core.
    for (int i = 1; i <= kBurst; ++i) {
        send("MESSAGE", i, "<?xml version=\"1.0\"?>\r\n<Notify><CmdType>Keepalive</CmdType><SN>" +
                               std::to_string(i) + "</SN></Notify>\r\n");
        if (i % 10 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    tarvex.Signal(SIGTERM);
    EXPECT_EQ(tarvex.Wait(60000), 0) << tarvex.Out();
    close(fd);
    std::set<int> logged;
    for (const auto& r : ReadWorkbook(dir))
        if (r.sheet == "Recv Msg" && CmdOf(r.body) == "Keepalive") logged.insert(SnOf(r.body));
    EXPECT_EQ(logged.size(), static_cast<std::size_t>(kBurst)) << tarvex.Out();
}

TEST(Program, VersionAndHelpWithoutADisplay) {
    TempDir dir;
    struct Case {
        const char* option;
        const char* expected;
    } cases[] = {
        {"--version", "tarvex 2.0\n"},
        {"-h", "Usage: tarvex [OPTION]...\n"},
    };
    for (const Case& c : cases) {
        // No platform plugin is reachable: nothing of Qt may start.
        Program p(dir.Path(), {c.option}, TARVEX_BINARY_DIR "/tarvex", {"QT_QPA_PLATFORM=none"});
        EXPECT_EQ(p.Wait(20000), 0) << c.option;
        EXPECT_EQ(p.Out().rfind(c.expected, 0), 0u) << p.Out();
    }
    Program help(dir.Path(), {"--help"});
    ASSERT_EQ(help.Wait(20000), 0);
    for (const char* text : {"--script FILE", "--here", "--version", "$XDG_CONFIG_HOME/tarvex"})
        EXPECT_NE(help.Out().find(text), std::string::npos) << text;
    Program bad(dir.Path(), {"--fly"});
    EXPECT_EQ(bad.Wait(20000), 2);
    EXPECT_EQ(bad.Out(), "Usage: tarvex [--script FILE] [--here] [--help] [--version]\n");
    EXPECT_FALSE(std::filesystem::exists(dir.File("config.ini")));
}

// Outside a build tree the program works in XDG_CONFIG_HOME/tarvex, made at
// the first start; --here keeps the current directory.
// A full disk at exit (the working folder and the state folder the log falls
// back to are on a full tmpfs of this test's own mount namespace): the exit
// status is 3, standard error says what was not written, and config.ini keeps
// the settings it had instead of being emptied.
TEST(Program, FullDiskAtExitKeepsTheSettingsAndExitsThree) {
    if (std::system("unshare -m true 2>/dev/null") != 0)
        GTEST_SKIP() << "no private mount namespace here (unshare -m refused)";
    TempDir dir;
    std::filesystem::create_directories(dir.File("full"));
    WriteFile(dir.File("exit.txt"), "settings peer.password=changed\nexit\n");
    WriteFile(dir.File("config.ini"), Config(FreePort(SOCK_DGRAM)));
    // The tmpfs goes with the namespace: config.ini is compared inside it.
    const std::string script =
        "mount -t tmpfs -o size=256k tmpfs full && cp exit.txt config.ini full/ && "
        "mkdir full/state && cd full && { head -c 1048576 /dev/zero >fill 2>/dev/null; true; } && "
        "XDG_STATE_HOME=$PWD/state " TARVEX_BINARY_DIR "/tarvex --here --script exit.txt; rc=$?; "
        "cmp config.ini ../config.ini && ! ls config.ini.* 2>/dev/null && exit $rc";
    Program p(dir.Path(), {"-m", "sh", "-c", script}, "/usr/bin/unshare");
    EXPECT_EQ(p.Wait(30000), 3) << p.Out();
    EXPECT_NE(p.Out().find("config.ini could not be written (No space left on device); it keeps "
                           "the settings it had"),
              std::string::npos)
        << p.Out();
    EXPECT_NE(p.Out().find("tarvex: the message log could not be saved anywhere"), std::string::npos)
        << p.Out();
}

TEST(Program, InstalledItWorksInItsOwnFolderUnlessHere) {
    TempDir dir;
    std::filesystem::create_directories(dir.File("bin"));
    std::filesystem::create_directories(dir.File("start"));
    const std::string exe = dir.File("bin/tarvex");
    std::filesystem::copy_file(TARVEX_BINARY_DIR "/tarvex", exe);
    std::filesystem::permissions(exe, std::filesystem::perms::owner_all);
    WriteFile(dir.File("exit.txt"), "about\nexit\n");
    const std::string xdg = "XDG_CONFIG_HOME=" + dir.File("xdg");
    {
        // The script is named relative to where the program was started.
        Program p(dir.File("start"), {"--script", "../exit.txt"}, exe, {xdg}, dir.File("out1"));
        ASSERT_EQ(p.Wait(30000), 0) << p.Out();
        EXPECT_NE(p.Out().find("about: Tarvex 2.0"), std::string::npos) << p.Out();
    }
    EXPECT_TRUE(std::filesystem::exists(dir.File("xdg/tarvex/config.ini")));
    EXPECT_TRUE(std::filesystem::exists(dir.File("xdg/tarvex/MsgXml.xls")));
    EXPECT_TRUE(std::filesystem::is_empty(dir.File("start")));
    {
        Program p(dir.File("start"), {"--here", "--script", "../exit.txt"}, exe, {xdg}, dir.File("out2"));
        ASSERT_EQ(p.Wait(30000), 0) << p.Out();
    }
    EXPECT_TRUE(std::filesystem::exists(dir.File("start/config.ini")));
    // A folder that cannot be made: said, and a non-zero status.
    WriteFile(dir.File("file"), "x");
    Program p(dir.File("start"), {"--script", "../exit.txt"}, exe, {"XDG_CONFIG_HOME=" + dir.File("file")},
              dir.File("out3"));
    EXPECT_EQ(p.Wait(30000), 1);
    EXPECT_NE(p.Out().find("tarvex: cannot work in its folder: " + dir.File("file/tarvex")), std::string::npos)
        << p.Out();
}

// The settings of one run on the command line: checked as the dialog checks
// them, used by --check, and config.ini keeps its own.
TEST(Program, RunSettingsOnTheCommandLine) {
    TempDir dir;
    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"--port", "70000"}, {"--check", "--port", "0"},
          {"--transport", "sctp"}, {"--id", ""}}) {
        Program p(dir.Path(), bad);
        EXPECT_EQ(p.Wait(20000), 2) << bad[0] << " " << bad.back() << ": " << p.Out();
    }
    const int port = FreePort(SOCK_STREAM);
    Program check(dir.Path(), {"--check", "--port", std::to_string(port), "--transport", "tcp",
                               "--id", "34020000002000000042", "--timeout", "1"});
    EXPECT_EQ(check.Wait(30000), 4) << check.Out();
    EXPECT_NE(check.Out().find("waiting up to 1 s for a device to register with 34020000002000000042 on port " +
                               std::to_string(port) + "/tcp"),
              std::string::npos)
        << check.Out();
    const std::string ini = TextCodec::GbkToUtf8(ReadFile(dir.File("config.ini")));
    EXPECT_NE(ini.find("协议=0\r\nID=34020000002000000001\r\n"), std::string::npos) << ini;
    EXPECT_NE(ini.find("端口=5060"), std::string::npos) << ini;
}

// The real program, offscreen: SIPp registers as a camera, the automatic chain
// runs, the device tree shows its channels and the log is written as
// "MsgXml.xls" at exit, read back with xlrd.

#include "support/common/Sipp.h"
#include "base/TextCodec.h"
#include "support/common/ChildProcess.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

namespace {

constexpr const char* kLocalId = "34020000002000000001";
constexpr const char* kDevice = "34010000001320000001";

using testsupport::RunIn;

} // namespace

TEST(Program, CameraRegistersShowsInTreeAndLog) {
    TempDir dir;
    int port = FreePort(SOCK_DGRAM);
    ASSERT_GT(port, 0);
    std::ostringstream ini;
    ini << "[" << TextCodec::Utf8ToGbk("本地服务器") << "]\n"
        << TextCodec::Utf8ToGbk("协议") << "=0\n"
        << "ID=" << kLocalId << "\n"
        << TextCodec::Utf8ToGbk("域") << "=3402000000\n"
        << TextCodec::Utf8ToGbk("地址") << "=127.0.0.1\n"
        << TextCodec::Utf8ToGbk("端口") << "=" << port << "\n";
    WriteFile(dir.File("config.ini"), ini.str());
    WriteFile(dir.File("run.txt"), "wait-registered 20000\n"
                                   "wait-log DeviceStatus 20000\n"
                                   "sleep 2500\n"
                                   "tree 34010000001310000002\n"
                                   "exit\n");

    DeviceScript s;
    s.deviceId = kDevice;
    s.firstPauseMs = 1500;
    s.catalog = {CatalogAnswer(kDevice, 2, {"34010000001310000001", "34010000001310000002"})};
    s.deviceInfo = SimpleAnswer("DeviceInfo", kDevice, "<DeviceName>IPC</DeviceName>\r\n");
    s.deviceStatus = SimpleAnswer("DeviceStatus", kDevice, "<Online>ONLINE</Online>\r\n");
    s.holdMs = 9000;
    WriteFile(dir.File("cam.xml"), MainScenario(s));
    WriteFile(dir.File("cam-ooc.xml"), OocScenario(s));
    int sippPort = FreePort(SOCK_DGRAM);
    SippProcess sipp;
    ASSERT_TRUE(sipp.Start({"127.0.0.1:" + std::to_string(port), "-sf", dir.File("cam.xml"), "-oocsf",
                            dir.File("cam-ooc.xml"), "-i", "127.0.0.1", "-p",
                            std::to_string(sippPort), "-m", "1", "-t", "u1", "-nostdin",
                            "-timeout", "60s", "-trace_err", "-error_file", dir.File("cam.err")},
                           dir.File("cam.out")));

    int rc = RunIn(dir.Path(), {std::string(TARVEX_BINARY_DIR) + "/tarvex", "--script", "run.txt"},
                   dir.File("tarvex.out"), 60000);
    std::string out = ReadFile(dir.File("tarvex.out"));
    EXPECT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("34010000001310000002"), std::string::npos) << out;
    EXPECT_EQ(sipp.Wait(30000), 0) << ReadFile(dir.File("cam.out")) << ReadFile(dir.File("cam.err"));

    ASSERT_TRUE(std::filesystem::exists(dir.File("MsgXml.xls"))) << out;
    WriteFile(dir.File("read.py"),
              "import sys, xlrd\n"
              "b = xlrd.open_workbook(sys.argv[1])\n"
              "for name in ('Recv Msg', 'Send Msg'):\n"
              "    s = b.sheet_by_name(name)\n"
              "    for r in range(1, s.nrows):\n"
              "        v = [s.cell_value(r, c) for c in range(5)]\n"
              "        cmd = ''\n"
              "        for t in ('Catalog', 'DeviceInfo', 'DeviceStatus'):\n"
              "            if '<CmdType>%s</CmdType>' % t in v[3]: cmd = t\n"
              "        print('%s|%s|%s|%s|%s|%s' % (name, v[0][:10], v[1], v[2], cmd,\n"
              "              v[4].split('\\r\\n')[0]))\n");
    std::string cmd = "/usr/bin/python3 " + dir.File("read.py") + " " + dir.File("MsgXml.xls") +
                      " > " + dir.File("rows.txt") + " 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << ReadFile(dir.File("rows.txt"));
    std::string rows = ReadFile(dir.File("rows.txt"));
    std::istringstream in(rows);
    std::string line;
    int recv = 0, send = 0, catalogQueries = 0, statusAnswers = 0;
    while (std::getline(in, line)) {
        bool isRecv = line.rfind("Recv Msg|", 0) == 0;
        recv += isRecv;
        send += line.rfind("Send Msg|", 0) == 0;
        EXPECT_NE(line.find(std::string("|") + kDevice + "|"), std::string::npos) << line;
        if (!isRecv && line.find("|Catalog|MESSAGE ") != std::string::npos) {
            ++catalogQueries;
            EXPECT_NE(line.find("|目录查询|"), std::string::npos) << line;
        }
        if (isRecv && line.find("|DeviceStatus|MESSAGE ") != std::string::npos) ++statusAnswers;
    }
    EXPECT_EQ(recv, 7) << rows; // REGISTER, three 200s, three answers
    EXPECT_EQ(send, 7) << rows; // 200, three queries, three 200s
    EXPECT_EQ(catalogQueries, 1) << rows;
    EXPECT_EQ(statusAnswers, 1) << rows;
    EXPECT_NE(rows.find("Recv Msg|20"), std::string::npos);
}

// tarvex-camera against the real program (offscreen, with an operator
// script), over UDP and TCP: a device registers, its channels appear in the
// device tree, it runs the Catalog, DeviceInfo, DeviceStatus chain and its
// keepalives are answered; then three more devices of one process register.
// (Today the program sends every follow-up query to the device that
// registered last, so the chain is checked with one device at a time.)

#include "CameraTest.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

namespace camtest {
namespace {

const std::string kTarvex = std::string(TARVEX_BINARY_DIR) + "/tarvex";

// config.ini as scripts/make-config.sh writes it, on loopback, with the
// local server's port and transport changed (their GBK keys come first).
void WriteConfig(const TempDir& dir, int port, int transport) {
    ASSERT_EQ(mt::Run("TARVEX_ADDRESS=127.0.0.1 bash " + mt::SourceDir() + "/scripts/make-config.sh " +
                      dir.File("config.ini") + " >/dev/null"),
              0);
    std::string c = ReadFile(dir.File("config.ini"));
    const std::string portKey = "\xB6\xCB\xBF\xDA=5060", protoKey = "\xD0\xAD\xD2\xE9=0";
    c.replace(c.find(portKey), portKey.size(), "\xB6\xCB\xBF\xDA=" + std::to_string(port));
    c.replace(c.find(protoKey), protoKey.size(), "\xD0\xAD\xD2\xE9=" + std::to_string(transport));
    WriteFile(dir.File("config.ini"), c);
}

TEST(CameraProgram, DeviceRegistersFillsTheTreeRunsTheChainKeepsAliveThenThreeMore) {
    for (bool tcp : {false, true}) {
        SCOPED_TRACE(tcp ? "TCP" : "UDP");
        TempDir dir;
        int port = FreePort(tcp ? SOCK_STREAM : SOCK_DGRAM);
        WriteConfig(dir, port, tcp ? 1 : 0);
        // The script waits for the next devices, which the test starts once the
        // first has answered its chain: by then its channels must be there.
        WriteFile(dir.File("check.txt"),
                  "wait-registered 60000\n"
                  "wait-log 34020000001320000009 120000\n"
                  "tree 34020000001310000104\n"
                  "tree 34020000001320000009\n"
                  "tree 34020000001320000010\n"
                  "tree 34020000001320000011\n"
                  "wait-log 心跳包 30000\n"
                  "exit\n");
        mt::Proc tarvex({"/bin/sh", "-c", "cd " + dir.Path() + " && QT_QPA_PLATFORM=offscreen exec " + kTarvex + " --script check.txt"},
                        dir.File("tarvex.out"), dir.File("tarvex.err"));
        // The cameras start once the program listens: a camera's own socket could
        // otherwise be given the free port the program is about to take.
        ASSERT_TRUE(WaitPortBound(port, tcp, 60000)) << ReadFile(dir.File("tarvex.out"));
        std::vector<std::string> transport = {"--transport", tcp ? "tcp" : "udp", "--retry", "1"};
        std::vector<std::string> one = {"--keepalive", "2"};
        one.insert(one.end(), transport.begin(), transport.end());
        mt::Proc cams(CameraArgs(port, one), dir.File("cams.out"), dir.File("cams.err"));
        EXPECT_TRUE(WaitFor(dir.File("cams.out"), "Query DeviceStatus SN", 120)) << ReadFile(dir.File("cams.out"));
        std::vector<std::string> late = {"--id", "34020000001320000009", "--devices", "3"};
        late.insert(late.end(), transport.begin(), transport.end());
        mt::Proc fourth(CameraArgs(port, late), dir.File("fourth.out"), dir.File("fourth.err"));
        int status = tarvex.Wait(120);
        std::string out = ReadFile(dir.File("tarvex.out"));
        EXPECT_EQ(status, 0) << out;
        for (const char* item : {"34020000001310000104", "34020000001320000011"})
            EXPECT_NE(out.find(std::string("tree ") + item), std::string::npos) << out;
        EXPECT_EQ(out.find("FAILED"), std::string::npos) << out;
        cams.Signal(SIGTERM);
        fourth.Signal(SIGTERM);
        EXPECT_EQ(cams.Wait(30), 0);
        EXPECT_EQ(fourth.Wait(30), 0);
        std::string c = ReadFile(dir.File("cams.out"));
        const std::string d = "34020000001320000001";
        EXPECT_NE(c.find(d + " registered with 127.0.0.1"), std::string::npos) << c;
        EXPECT_NE(c.find(d + " Query Catalog SN"), std::string::npos) << c;
        EXPECT_NE(c.find(d + " Query DeviceInfo SN"), std::string::npos) << c;
        EXPECT_NE(c.find(d + " Query DeviceStatus SN"), std::string::npos) << c;
        EXPECT_NE(c.find(d + " keepalive answered 200"), std::string::npos) << c;
        std::string f = ReadFile(dir.File("fourth.out"));
        EXPECT_NE(f.find("summary: 3 device(s), 3 registered"), std::string::npos) << f;
    }
}

} // namespace
} // namespace camtest

// Runs scripts/make-config.sh and reads what it wrote with the store itself.

#include "base/ConfigINI.h"
#include "base/ConfigKeys.h"

#include "support/common/Files.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <regex>

using namespace ConfigKeys;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

int RunScript(const std::string& path, const std::string& env = "") {
    const std::string cmd =
        env + " bash " TARVEX_SOURCE_DIR "/scripts/make-config.sh '" + path + "' >/dev/null 2>&1";
    return std::system(cmd.c_str());
}

} // namespace

TEST(MakeConfig, WritesEveryKeyWithUdpOn5060) {
    TempDir d;
    const std::string f = d.File("run/config.ini"); // the folder is made as well
    ASSERT_EQ(RunScript(f), 0);
    CaptureStdout();
    {
        ConfigINI c(f.c_str());
        EXPECT_EQ(c.GetInt(kLocalServer, kProtocol), 0);
        EXPECT_EQ(c.GetInt(kLocalServer, kPort), 5060);
        const std::string id = c.GetString(kLocalServer, kId);
        EXPECT_TRUE(std::regex_match(id, std::regex("[0-9]{20}"))) << id;
        const std::string domain = c.GetString(kLocalServer, kDomain);
        EXPECT_EQ(domain, id.substr(0, 10));
        const std::string addr = c.GetString(kLocalServer, kAddress);
        EXPECT_TRUE(std::regex_match(addr, std::regex("[0-9]{1,3}(\\.[0-9]{1,3}){3}"))) << addr;
        EXPECT_FALSE(c.GetString(kLocalServer, kPassword).empty());

        EXPECT_TRUE(std::regex_match(c.GetString(kPeerSystem, kId), std::regex("[0-9]{20}")));
        EXPECT_EQ(c.GetString(kPeerSystem, kDomain), domain);
        EXPECT_EQ(c.GetString(kPeerSystem, kAddress), addr);
        EXPECT_GT(c.GetInt(kPeerSystem, kPort), 0);
        EXPECT_FALSE(c.GetString(kPeerSystem, kPassword).empty());
        EXPECT_GT(c.GetInt(kPeerSystem, kRegisterTime), 0);
        EXPECT_GT(c.GetInt(kPeerSystem, kHeartbeatPeriod), 0);

        EXPECT_EQ(c.GetInt(kMediaReceiver, kProtocol), 0);
        EXPECT_EQ(c.GetString(kMediaReceiver, kAddress), addr);
        EXPECT_GT(c.GetInt(kMediaReceiver, kPort), 0);
        const int speed = c.GetInt(kMediaReceiver, kDownloadSpeed, 255);
        EXPECT_TRUE(speed >= 1 && speed <= 64) << speed;

        const int ptzAddr = c.GetInt(kPtzControl, kPtzAddress, 255);
        const int ptzSpeed = c.GetInt(kPtzControl, kSpeed, 255);
        EXPECT_TRUE(ptzAddr >= 0 && ptzAddr < 255);
        EXPECT_TRUE(ptzSpeed >= 0 && ptzSpeed < 255);

        EXPECT_TRUE(std::regex_match(c.GetString(kMediaServer, kId), std::regex("[0-9]{20}")));
        EXPECT_EQ(c.GetString(kMediaServer, kAddress), addr);
        EXPECT_GT(c.GetInt(kMediaServer, kPort), 0);
    }
    // Nothing was missing.
    EXPECT_EQ(GetCapturedStdout().find("not found"), std::string::npos);
}

TEST(MakeConfig, FileIsInTheStoresOwnLayout) {
    TempDir d;
    const std::string f = d.File("config.ini");
    ASSERT_EQ(RunScript(f, "TARVEX_ADDRESS=10.9.8.7"), 0);
    const std::string written = ReadFile(f);
    EXPECT_NE(written.find(std::string(kAddress) + "=10.9.8.7\r\n"), std::string::npos);
    CaptureStdout();
    ConfigINI c(f.c_str());
    GetCapturedStdout();
    EXPECT_TRUE(c.Save());
    EXPECT_EQ(ReadFile(f), written);
}

TEST(MakeConfig, NeverOverwrites) {
    TempDir d;
    const std::string f = d.File("config.ini");
    ASSERT_EQ(RunScript(f), 0);
    WriteFile(f, "[mine]\r\nk=v\r\n\r\n");
    ASSERT_EQ(RunScript(f, "TARVEX_ADDRESS=10.0.0.9"), 0);
    EXPECT_EQ(ReadFile(f), "[mine]\r\nk=v\r\n\r\n");
    // Not even an empty file is replaced.
    const std::string e = d.File("empty.ini");
    WriteFile(e, "");
    ASSERT_EQ(RunScript(e), 0);
    EXPECT_EQ(ReadFile(e), "");
}

TEST(MakeConfig, NeedsExactlyOnePath) {
    EXPECT_NE(std::system("bash " TARVEX_SOURCE_DIR "/scripts/make-config.sh >/dev/null 2>&1"), 0);
}

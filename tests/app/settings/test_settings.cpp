// The settings' checks before anything is stored, the first run's values, the
// values of one run from the command line, and the listening line.

#include "app/settings/CfgIniStore.h"
#include "app/settings/ListenStatus.h"
#include "base/TextCodec.h"
#include "support/common/Files.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::string Ini(const TempDir& d) { return TextCodec::GbkToUtf8(ReadFile(d.File("config.ini"))); }

std::unique_ptr<CDlgCfg> Quiet(const std::string& file, const std::string& address = "10.0.0.7") {
    testing::internal::CaptureStdout();
    auto c = LoadSettingsWithDefaults(file, address);
    testing::internal::GetCapturedStdout();
    return c;
}

} // namespace

TEST(SettingsCheck, RefusesWhatNoEndpointCanUseWithTheDialogsWords) {
    const std::string ports = "请输入一个介于 1 和 65535 之间的整数。";
    const struct {
        CfgField field;
        const char* text;
        std::string message;
    } cases[] = {
        {CfgField::LocalPort, "5060", ""},
        {CfgField::LocalPort, "-1", ports},
        {CfgField::LocalPort, "0", ports},
        {CfgField::LocalPort, "65536", ports},
        {CfgField::PeerPort, "65535", ""},
        {CfgField::MediaPort, "-1", ports},
        {CfgField::MediaServerPort, "1", ""},
        {CfgField::LocalPort, "50a", "请输入一个整数。"},
        {CfgField::RegistrationTime, "-1", "请输入一个介于 1 和 86400 之间的整数。"},
        {CfgField::RegistrationTime, "3600", ""},
        {CfgField::HeartbeatPeriod, "0", "请输入一个介于 1 和 3600 之间的整数。"},
        {CfgField::HeartbeatPeriod, "60", ""},
        {CfgField::LocalTransport, "-1", "请选择一种协议：UDP、TCP、TLS、DTLS。"},
        {CfgField::LocalTransport, "SCTP", "请选择一种协议：UDP、TCP、TLS、DTLS。"},
        {CfgField::LocalTransport, "4", "请选择一种协议：UDP、TCP、TLS、DTLS。"},
        {CfgField::LocalTransport, "tcp", ""},
        {CfgField::LocalTransport, "3", ""},
        {CfgField::MediaTransport, "TCP passive", ""},
        {CfgField::MediaTransport, "5",
         "请选择一种协议：UDP、TCP passive、TCP active、TCP actpass、holdconn。"},
        {CfgField::DownloadSpeed, "255", "请输入一个介于 1 和 64 之间的整数。"},
        {CfgField::PtzSpeed, "256", "请输入一个介于 0 和 255 之间的整数。"},
        {CfgField::LocalId, "", "请输入本地服务器的 ID。"},
        {CfgField::LocalId, "  ", "请输入本地服务器的 ID。"},
        {CfgField::PeerId, "", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CDlgCfg::Check(c.field, c.text), c.message) << CfgInfo(c.field).name << "=" << c.text;
}

TEST(FirstRun, WithoutAFileEveryFieldHasAWorkingValueAndTheFileIsWritten) {
    TempDir d;
    auto c = Quiet(d.File("config.ini"));
    EXPECT_EQ(c->localTransport, 0);
    EXPECT_EQ(c->localPort, 5060);
    EXPECT_EQ(c->localId, "34020000002000000001");
    EXPECT_EQ(c->localDomain, "3402000000");
    EXPECT_EQ(c->mediaAddress, "10.0.0.7");
    EXPECT_EQ(c->mediaPort, 6000);
    EXPECT_EQ(c->heartbeatPeriod, 60);
    EXPECT_FALSE(c->RestartNeeded());
    // Every value as the settings dialog would accept it, and in the file.
    const CfgTexts t = c->Texts();
    for (int i = 0; i < kCfgFieldCount; ++i)
        EXPECT_EQ(CDlgCfg::Check(static_cast<CfgField>(i), t[i]), "") << CfgInfo(static_cast<CfgField>(i)).name;
    const std::string ini = Ini(d);
    EXPECT_NE(ini.find("[本地服务器]\r\n协议=0\r\nID=34020000002000000001\r\n域=3402000000\r\n地址=10.0.0.7\r\n端口=5060\r\n"),
              std::string::npos) << ini;
    EXPECT_EQ(ini.find("=-1"), std::string::npos);
    EXPECT_EQ(ini.find("=255"), std::string::npos);
}

TEST(FirstRun, AnOldSaveWithMinusOnesIsMendedInMemoryAndTheFileKeptUntilAStore) {
    TempDir d;
    const std::string old = TextCodec::Utf8ToGbk(
        "[本地服务器]\r\n协议=-1\r\nID=34020000002000000009\r\n地址=\r\n端口=-1\r\n\r\n"
        "[互联系统]\r\n注册时间=-1\r\n心跳周期=30\r\n\r\n[云台控制]\r\n地址位=255\r\n速度=255\r\n");
    WriteFile(d.File("config.ini"), old);
    auto c = Quiet(d.File("config.ini"));
    EXPECT_EQ(c->localTransport, 0);
    EXPECT_EQ(c->localPort, 5060);
    EXPECT_EQ(c->localId, "34020000002000000009"); // the operator's own stays
    EXPECT_EQ(c->localAddress, "10.0.0.7");        // an empty address is none
    EXPECT_EQ(c->registrationTime, 3600);
    EXPECT_EQ(c->heartbeatPeriod, 30);
    EXPECT_EQ(c->ptzAddress, 255); // a byte: 255 is a value of its own there
    EXPECT_EQ(ReadFile(d.File("config.ini")), old);
    c->Store();
    const std::string ini = Ini(d);
    EXPECT_EQ(ini.find("=-1"), std::string::npos) << ini;
    EXPECT_NE(ini.find("心跳周期=30"), std::string::npos) << ini;
}

TEST(SettingsStore, AValueTheCheckRefusesIsNeverWritten) {
    TempDir d;
    auto c = Quiet(d.File("config.ini"));
    c->localPort = -1;
    c->mediaTransport = 9;
    c->Store();
    const std::string ini = Ini(d);
    EXPECT_NE(ini.find("端口=5060"), std::string::npos) << ini; // what the file had stays
    EXPECT_EQ(ini.find("=-1"), std::string::npos) << ini;
    EXPECT_EQ(ini.find("协议=9"), std::string::npos) << ini;
}

TEST(RunSettings, CommandLineValuesServeThisRunAndAreNotStored) {
    TempDir d;
    auto c = Quiet(d.File("config.ini"));
    std::string why;
    EXPECT_FALSE(c->OverrideForThisRun(CfgField::LocalPort, "0", &why));
    EXPECT_EQ(why, "请输入一个介于 1 和 65535 之间的整数。");
    ASSERT_TRUE(c->OverrideForThisRun(CfgField::LocalPort, "15070", &why));
    ASSERT_TRUE(c->OverrideForThisRun(CfgField::LocalTransport, "tcp", &why));
    ASSERT_TRUE(c->OverrideForThisRun(CfgField::LocalId, "34020000002000000055", &why));
    EXPECT_EQ(c->localPort, 15070);
    EXPECT_EQ(c->localTransport, 1);
    EXPECT_FALSE(c->RestartNeeded());
    c->Store(); // the exit button
    std::string ini = Ini(d);
    EXPECT_NE(ini.find("协议=0\r\nID=34020000002000000001\r\n"), std::string::npos) << ini;
    EXPECT_NE(ini.find("端口=5060"), std::string::npos) << ini;
    EXPECT_EQ(ini.find("15070"), std::string::npos) << ini;
    // The operator changes the port in the dialog: from then on it is stored;
    // the transport left as the command line gave it is not.
    CfgTexts t = c->Texts();
    t[static_cast<int>(CfgField::LocalPort)] = "15080";
    std::string msg;
    ASSERT_TRUE(c->Accept(t, nullptr, &msg)) << msg;
    ini = Ini(d);
    EXPECT_NE(ini.find("端口=15080"), std::string::npos) << ini;
    EXPECT_NE(ini.find("协议=0\r\nID=34020000002000000001\r\n"), std::string::npos) << ini;
}

TEST(ListenLine, SaysWhereOrWhyNot) {
    EXPECT_EQ(DescribeListen(0, 5060, 0).text, "listening on 0.0.0.0:5060/udp");
    EXPECT_TRUE(DescribeListen(0, 5060, 0).listening);
    EXPECT_EQ(DescribeListen(1, 5061, 0).text, "listening on 0.0.0.0:5061/tcp");
    EXPECT_EQ(DescribeListen(-1, 5060, 0).text, "not listening: no SIP transport is set");
    EXPECT_FALSE(DescribeListen(-1, 5060, 0).listening);
    // A port held by another socket.
    for (int type : {SOCK_DGRAM, SOCK_STREAM}) {
        const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        if (type == SOCK_STREAM) listen(fd, 1);
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        const int port = ntohs(a.sin_port);
        const int transport = type == SOCK_DGRAM ? 0 : 1;
        const ListenStatus s = DescribeListen(transport, port, -1);
        EXPECT_FALSE(s.listening);
        EXPECT_EQ(s.text, "not listening on 0.0.0.0:" + std::to_string(port) +
                              (type == SOCK_DGRAM ? "/udp" : "/tcp") +
                              ": the port is in use by another program");
        close(fd);
    }
    if (geteuid() != 0) {
        EXPECT_NE(DescribeListen(0, 80, -1).text.find("no permission"), std::string::npos);
    }
}

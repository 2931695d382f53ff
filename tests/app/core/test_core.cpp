#include "app/core/CTarvexCore.h"
#include "app/core/LocalAddresses.h"
#include "app/core/OperatorScript.h"
#include "base/ConfigINI.h"
#include "base/TextCodec.h"
#include "app/settings/CfgIniStore.h"

#include "app/core/CoreRig.h"
#include "base/Diag.h"
#include "support/common/Files.h"

#include <gtest/gtest.h>

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

// A config.ini as the Windows version writes it: GBK names, CR LF.
std::string SampleIni() {
    std::string t = "[本地服务器]\r\n协议=0\r\nID=34020000002000000001\r\n域=3402000000\r\n"
                    "地址=192.168.1.10\r\n端口=5060\r\n密码=12345678\r\n\r\n"
                    "[互联系统]\r\nID=34020000002000000002\r\n端口=5070\r\n密码=abc\r\n"
                    "注册时间=3600\r\n心跳周期=60\r\n\r\n"
                    "[媒体接收者]\r\n协议=1\r\n地址=192.168.1.10\r\n端口=6000\r\n下载速度=4\r\n\r\n"
                    "[云台控制]\r\n地址位=1\r\n速度=80\r\n\r\n"
                    "[媒体服务器]\r\nID=34020000002020000001\r\n地址=10.0.0.5\r\n端口=554\r\n";
    return TextCodec::Utf8ToGbk(t);
}

std::unique_ptr<CDlgCfg> Quiet(const std::string& file) {
    CaptureStdout();
    auto c = LoadSettings(file);
    GetCapturedStdout();
    return c;
}

} // namespace

// ---- settings object on config.ini

TEST(Settings, LoadsEveryFieldFromGbkFile) {
    TempDir d;
    WriteFile(d.File("config.ini"), SampleIni());
    auto c = Quiet(d.File("config.ini"));
    EXPECT_EQ(c->localTransport, 0);
    EXPECT_EQ(c->localId, "34020000002000000001");
    EXPECT_EQ(c->localDomain, "3402000000");
    EXPECT_EQ(c->localAddress, "192.168.1.10");
    EXPECT_EQ(c->localPort, 5060);
    EXPECT_EQ(c->localPassword, "12345678");
    EXPECT_EQ(c->peerId, "34020000002000000002");
    EXPECT_EQ(c->peerPort, 5070);
    EXPECT_EQ(c->registrationTime, 3600);
    EXPECT_EQ(c->heartbeatPeriod, 60);
    EXPECT_EQ(c->mediaTransport, 1);
    EXPECT_EQ(c->mediaPort, 6000);
    EXPECT_EQ(c->downloadSpeed, 4);
    EXPECT_EQ(c->ptzAddress, 1);
    EXPECT_EQ(c->ptzSpeed, 80);
    EXPECT_EQ(c->mediaServerId, "34020000002020000001");
    EXPECT_EQ(c->mediaServerAddress, "10.0.0.5");
    EXPECT_EQ(c->mediaServerPort, 554);
    EXPECT_EQ(c->refPort, 5060);
    EXPECT_EQ(c->refId, "34020000002000000001");
    EXPECT_FALSE(c->RestartNeeded());
    // Keys missing from the file read as empty, -1 or 255.
    EXPECT_EQ(c->peerDomain, "");
    EXPECT_EQ(c->peerAddress, "");
}

TEST(Settings, Utf8FileFromALinuxEditorIsReadToo) {
    TempDir d;
    WriteFile(d.File("config.ini"), "[本地服务器]\n端口=5062\nID=340200000020000000xx\n");
    auto c = Quiet(d.File("config.ini"));
    EXPECT_EQ(c->localPort, 5062);
    EXPECT_EQ(c->localId, "340200000020000000xx");
}

TEST(Settings, MissingFileGivesEmptyMinusOneAnd255) {
    TempDir d;
    tarvex::SetVerbose(true);
    testing::internal::CaptureStderr();
    auto c = LoadSettings(d.File("config.ini"));
    tarvex::SetVerbose(false);
    const std::string out = testing::internal::GetCapturedStderr();
    EXPECT_NE(out.find("load config, file ["), std::string::npos);
    EXPECT_NE(out.find("not found"), std::string::npos);
    EXPECT_EQ(c->localTransport, -1);
    EXPECT_EQ(c->mediaTransport, -1);
    EXPECT_EQ(c->localId, "");
    EXPECT_EQ(c->localPort, -1);
    EXPECT_EQ(c->mediaServerPort, -1);
    EXPECT_EQ(c->downloadSpeed, 255);
    EXPECT_EQ(c->ptzAddress, 255);
    EXPECT_EQ(c->ptzSpeed, 255);
    // What the dialog shows for those.
    auto t = c->Texts();
    EXPECT_EQ(t[static_cast<int>(CfgField::LocalPort)], "-1");
    EXPECT_EQ(t[static_cast<int>(CfgField::PtzSpeed)], "255");
    EXPECT_EQ(t[static_cast<int>(CfgField::LocalId)], "");
}

TEST(Settings, OkWithoutFileStoresCompleteGbkFile) {
    TempDir d;
    auto c = Quiet(d.File("config.ini"));
    // The OK refuses the -1 and 255 of missing keys: the boxes hold the first-run values.
    auto t = DefaultCfgTexts("");
    t[static_cast<int>(CfgField::LocalTransport)] = "0";
    t[static_cast<int>(CfgField::LocalId)] = "34020000002000000001";
    t[static_cast<int>(CfgField::LocalPort)] = "5060";
    t[static_cast<int>(CfgField::DownloadSpeed)] = "4";
    std::string msg;
    ASSERT_TRUE(c->Accept(t, nullptr, &msg)) << msg;
    EXPECT_TRUE(c->RestartNeeded());
    const std::string file = TextCodec::GbkToUtf8(ReadFile(d.File("config.ini")));
    // Every non-empty field is there, in table order, under its section.
    const char* expected[] = {"[本地服务器]", "协议=0", "ID=34020000002000000001", "端口=5060",
                              "[互联系统]",  "端口=5060", "注册时间=3600", "心跳周期=60",
                              "[媒体接收者]", "协议=0", "端口=6000",     "下载速度=4",
                              "[云台控制]",  "地址位=1", "速度=128",     "[媒体服务器]",
                              "端口=10000"};
    std::size_t pos = 0;
    for (const char* e : expected) {
        std::size_t at = file.find(e, pos);
        ASSERT_NE(at, std::string::npos) << e << " after " << pos << " in\n" << file;
        pos = at;
    }
    // The names in the file are GBK bytes, not UTF-8.
    EXPECT_NE(ReadFile(d.File("config.ini")).find(TextCodec::Utf8ToGbk("[本地服务器]")),
              std::string::npos);
    // A reload gives the same values.
    auto again = Quiet(d.File("config.ini"));
    EXPECT_EQ(again->localPort, 5060);
    EXPECT_EQ(again->downloadSpeed, 4);
    EXPECT_EQ(again->ptzSpeed, 128);
    EXPECT_EQ(file.find("=-1"), std::string::npos) << file;
}

// 验证密码: on only for "1" in the file; OK writes 1 or 0 and a reload reads it back.
TEST(Settings, VerifyPasswordStoredAsOneOrZero) {
    TempDir d;
    for (const char* stored : {"1", "yes", ""}) {
        std::string ini = "[本地服务器]\r\n验证密码=";
        ini.append(stored).append("\r\n");
        WriteFile(d.File("config.ini"), TextCodec::Utf8ToGbk(ini));
        EXPECT_EQ(Quiet(d.File("config.ini"))->localVerifyPassword, std::string(stored) == "1")
            << stored;
    }
    auto c = Quiet(d.File("config.ini"));
    c->ApplyDefaults(DefaultCfgTexts("127.0.0.1")); // the rest as at a program start
    std::string msg;
    for (const char* box : {"1", "0"}) {
        auto t = c->Texts();
        t[static_cast<int>(CfgField::LocalVerifyPassword)] = box;
        t[static_cast<int>(CfgField::DownloadSpeed)] = "4";
        ASSERT_TRUE(c->Accept(t, nullptr, &msg)) << msg;
        EXPECT_NE(TextCodec::GbkToUtf8(ReadFile(d.File("config.ini")))
                      .find(std::string("验证密码=") + box),
                  std::string::npos);
        EXPECT_EQ(Quiet(d.File("config.ini"))->localVerifyPassword, std::string(box) == "1");
    }
}

TEST(Settings, RestartFlagOnlyForPortOrIdentifier) {
    TempDir d;
    WriteFile(d.File("config.ini"), SampleIni());
    auto c = Quiet(d.File("config.ini"));
    std::string msg;
    // Peer password alone: stored, no restart.
    auto t = c->Texts();
    t[static_cast<int>(CfgField::PeerPassword)] = "secret";
    t[static_cast<int>(CfgField::LocalAddress)] = "10.9.9.9";
    t[static_cast<int>(CfgField::LocalTransport)] = "1";
    ASSERT_TRUE(c->Accept(t, nullptr, &msg));
    EXPECT_FALSE(c->RestartNeeded());
    EXPECT_EQ(Quiet(d.File("config.ini"))->peerPassword, "secret");
    // A new port: the first OK sets the flag, a second OK without changes clears it.
    t = c->Texts();
    t[static_cast<int>(CfgField::LocalPort)] = "5099";
    ASSERT_TRUE(c->Accept(t, nullptr, &msg));
    EXPECT_TRUE(c->RestartNeeded());
    EXPECT_EQ(c->refPort, 5099);
    ASSERT_TRUE(c->Accept(c->Texts(), nullptr, &msg));
    EXPECT_FALSE(c->RestartNeeded());
    // A new identifier also restarts.
    t = c->Texts();
    t[static_cast<int>(CfgField::LocalId)] = "34020000002000000009";
    ASSERT_TRUE(c->Accept(t, nullptr, &msg));
    EXPECT_TRUE(c->RestartNeeded());
    EXPECT_EQ(c->refId, "34020000002000000009");
}

TEST(Settings, ValidationMessagesNameTheRangeOrAskForANumber) {
    EXPECT_EQ(CDlgCfg::Validate(CfgField::LocalPort, "50x"), "请输入一个整数。");
    EXPECT_EQ(CDlgCfg::Validate(CfgField::LocalPort, ""), "请输入一个整数。");
    EXPECT_EQ(CDlgCfg::Validate(CfgField::LocalPort, "99999999999"), "请输入一个整数。");
    EXPECT_EQ(CDlgCfg::Validate(CfgField::LocalPort, " -1 "), "");
    EXPECT_EQ(CDlgCfg::Validate(CfgField::PtzAddress, "256"), "请输入一个介于 0 和 255 之间的整数。");
    EXPECT_EQ(CDlgCfg::Validate(CfgField::PtzSpeed, "-1"), "请输入一个介于 0 和 255 之间的整数。");
    EXPECT_EQ(CDlgCfg::Validate(CfgField::PtzSpeed, "255"), "");
    EXPECT_EQ(CDlgCfg::Validate(CfgField::DownloadSpeed, "0"), "请输入一个介于 1 和 64 之间的整数。");
    EXPECT_EQ(CDlgCfg::Validate(CfgField::DownloadSpeed, "65"), "请输入一个介于 1 和 64 之间的整数。");
    EXPECT_EQ(CDlgCfg::Validate(CfgField::DownloadSpeed, "64"), "");
    EXPECT_EQ(CDlgCfg::Validate(CfgField::LocalId, "anything at all"), "");
}

TEST(Settings, FailedOkNamesTheFirstBadBoxAndChangesNothing) {
    auto data = std::make_shared<MemoryStore::Data>();
    CDlgCfg c(std::make_unique<MemoryStore>(data));
    // Missing in the store, the speed reads 255, which the box does not accept.
    EXPECT_EQ(c.Texts()[static_cast<int>(CfgField::DownloadSpeed)], "255");
    auto t = DefaultCfgTexts("10.0.0.1");
    t[static_cast<int>(CfgField::LocalId)] = "new";
    t[static_cast<int>(CfgField::PeerPort)] = "abc";
    t[static_cast<int>(CfgField::PtzAddress)] = "300";
    t[static_cast<int>(CfgField::DownloadSpeed)] = "8";
    CfgField bad = CfgField::Count;
    std::string msg;
    EXPECT_FALSE(c.Accept(t, &bad, &msg));
    EXPECT_EQ(bad, CfgField::PeerPort);
    EXPECT_EQ(msg, "请输入一个整数。");
    EXPECT_EQ(c.localId, "");
    EXPECT_EQ(data->saves, 0);
    t[static_cast<int>(CfgField::PeerPort)] = "5070";
    EXPECT_FALSE(c.Accept(t, &bad, &msg));
    EXPECT_EQ(bad, CfgField::PtzAddress);
}

TEST(Settings, FieldNamesRoundTrip) {
    for (int i = 0; i < kCfgFieldCount; ++i) {
        const auto f = static_cast<CfgField>(i);
        EXPECT_EQ(CfgFieldByName(CfgInfo(f).name), f) << CfgInfo(f).name;
    }
    EXPECT_EQ(CfgFieldByName("local.nothing"), CfgField::Count);
}

// ---- local addresses

TEST(LocalAddresses, TwoAddressesOfOneAdapterAndAnEmptyAdapter) {
    auto adapters = GroupAdapters({{"eth0", "192.168.1.10"},
                                   {"lo", "127.0.0.1"},
                                   {"eth0", "192.168.1.11"},
                                   {"wlan0", "0.0.0.0"},
                                   {"tun0", "0.0.0.0"},
                                   {"tun0", "0.0.0.0"}});
    ASSERT_EQ(adapters.size(), 4u);
    EXPECT_EQ(adapters[0].name, "eth0");
    EXPECT_EQ(adapters[0].addresses, (std::vector<std::string>{"192.168.1.10", "192.168.1.11"}));
    // An adapter whose first address is 0.0.0.0 shows no first address; a
    // further 0.0.0.0 is listed unchanged.
    EXPECT_EQ(AddressTreeItems(adapters),
              (std::vector<std::string>{"192.168.1.10", "192.168.1.11", "127.0.0.1", "0.0.0.0"}));
}

TEST(LocalAddresses, ThisHostListsLoopback) {
    std::vector<LocalAdapter> a;
    ASSERT_TRUE(ListLocalAdapters(a));
    bool loopback = false;
    for (const auto& x : a)
        for (const auto& addr : x.addresses) loopback |= addr == "127.0.0.1";
    EXPECT_TRUE(loopback);
}

// ---- core: start-up, restart, exit

TEST(Core, InitialisationOrderAndStartWithConfiguredTransport) {
    CoreRig r;
    r.core->Initialise();
    r.core->ListAddresses();
    EXPECT_EQ(r.view.calls, (std::vector<std::string>{"speed 70", "addresses 10.1.1.1 127.0.0.1"}));
    EXPECT_EQ(r.core->TreeSnapshot().text, "34020000002000000001");
    EXPECT_EQ(r.sip->calls, (std::vector<std::string>{"content application/MANSCDP+xml\r\n",
                                                      "start 1 5060 10.1.1.1"}));
    // The signalling list waits for a device.
    EXPECT_EQ(r.view.lists.count(kListSignalling), 0u);
    EXPECT_EQ(r.core->SpeedByte(), 70);
    EXPECT_EQ(r.core->LastStartResult(), 0);
}

TEST(Core, AdapterFailureShowsMessageAndKeepsRootAlone) {
    CoreRig r([](std::vector<LocalAdapter>&) { return false; });
    r.core->ListAddresses();
    EXPECT_EQ(r.view.calls, (std::vector<std::string>{"message Call to GetAdaptersInfo failed.\n"}));
}

TEST(Core, FailedStartLeavesProgramRunning) {
    CoreRig r;
    r.sip->startResult = -1;
    r.core->Initialise();
    EXPECT_EQ(r.core->LastStartResult(), -1);
    EXPECT_TRUE(r.view.messages.empty()); // nothing is shown for it
}

TEST(Core, SettingsRestartStopsWaitsAndStartsOnNewPort) {
    CoreRig r;
    r.core->Initialise();
    r.sip->calls.clear();
    r.view.calls.clear();
    // A checked address takes effect at the next start.
    r.core->AddressChecked("127.0.0.1");
    auto t = r.core->Settings().Texts();
    t[static_cast<int>(CfgField::LocalPort)] = "5070";
    t[static_cast<int>(CfgField::LocalId)] = "34020000002000000077";
    std::string msg;
    ASSERT_TRUE(r.core->Settings().Accept(t, nullptr, &msg));
    r.core->SettingsAccepted();
    EXPECT_EQ(r.core->TreeSnapshot().text, "34020000002000000077");
    EXPECT_EQ(r.view.calls, (std::vector<std::string>{"later 1000"}));
    EXPECT_EQ(r.sip->calls, (std::vector<std::string>{"stop"}));
    EXPECT_TRUE(r.core->RestartPending());
    r.view.later.at(0)();
    EXPECT_EQ(r.sip->calls, (std::vector<std::string>{"stop", "start 1 5070 127.0.0.1"}));
    EXPECT_FALSE(r.core->RestartPending());
}

TEST(Core, OtherSettingsDoNotRestart) {
    CoreRig r;
    r.core->Initialise();
    r.sip->calls.clear();
    auto t = r.core->Settings().Texts();
    t[static_cast<int>(CfgField::LocalTransport)] = "0";
    t[static_cast<int>(CfgField::PeerPassword)] = "pw";
    std::string msg;
    ASSERT_TRUE(r.core->Settings().Accept(t, nullptr, &msg));
    r.core->SettingsAccepted();
    EXPECT_TRUE(r.sip->calls.empty());
    EXPECT_TRUE(r.view.later.empty());
}

// The endpoint challenges REGISTER with the password it started with, so a
// change of 验证密码, or of the password while it is on, restarts it.
TEST(Core, ChallengeSettingsRestartTheEndpoint) {
    CoreRig r;
    r.core->Initialise();
    ASSERT_EQ(r.sip->password, "");
    struct Step {
        const char* verify;
        const char* password;
        bool restarts;
        const char* challenge; // the password the endpoint runs with afterwards
    };
    const Step steps[] = {
        {"0", "pw1", false, ""},   {"1", "pw1", true, "pw1"}, {"1", "pw1", false, "pw1"},
        {"1", "pw2", true, "pw2"}, {"0", "pw2", true, ""},    {"0", "pw3", false, ""},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(std::string(step.verify) + " " + step.password);
        r.sip->calls.clear();
        r.view.later.clear();
        auto t = r.core->Settings().Texts();
        t[static_cast<int>(CfgField::LocalVerifyPassword)] = step.verify;
        t[static_cast<int>(CfgField::LocalPassword)] = step.password;
        std::string msg;
        ASSERT_TRUE(r.core->Settings().Accept(t, nullptr, &msg)) << msg;
        r.core->SettingsAccepted();
        ASSERT_EQ(r.view.later.size(), step.restarts ? 1u : 0u);
        if (step.restarts) r.view.later.at(0)();
        EXPECT_EQ(r.sip->calls.size(), step.restarts ? 2u : 0u);
        EXPECT_EQ(r.sip->password, step.challenge);
        EXPECT_EQ(r.core->ChallengePassword(), step.challenge);
    }
}

TEST(Core, ExitEndsCallsStopsReleasesDevicesStoresAndAPendingRestartNeverStarts) {
    CoreRig r;
    r.core->Initialise();
    r.core->OnDeviceRegistered({"34010000001320000001", "127.0.0.1", 5060});
    r.core->OnCallAnswered(7, 3, "v=0\r\n");
    auto t = r.core->Settings().Texts();
    t[static_cast<int>(CfgField::LocalPort)] = "5071";
    std::string msg;
    ASSERT_TRUE(r.core->Settings().Accept(t, nullptr, &msg));
    const int savesAfterOk = r.data->saves;
    r.core->SettingsAccepted();
    r.sip->calls.clear();
    r.core->SpeedFromSlider(120);
    r.core->Exit();
    EXPECT_EQ(r.sip->calls, (std::vector<std::string>{"stop"}));
    EXPECT_EQ(r.sip->ended, (std::vector<std::pair<int, int>>{{7, 3}}));
    EXPECT_EQ(r.core->DeviceRecordCount(), 0u);
    EXPECT_FALSE(r.core->NextDue()); // the Catalog query never goes
    EXPECT_EQ(r.data->saves, savesAfterOk + 1);
    std::string v;
    MemoryStore(r.data).GetValue("云台控制", "速度", v);
    EXPECT_EQ(v, "120");
    r.view.later.at(0)();
    EXPECT_EQ(r.sip->calls, (std::vector<std::string>{"stop"}));
}

TEST(Core, DestructionStopsEndpointWithoutStoring) {
    auto rig = std::make_unique<CoreRig>();
    rig->core->Initialise();
    auto sip = rig->sip;
    auto data = rig->data;
    rig->core.reset();
    EXPECT_EQ(sip->calls.back(), "stop");
    EXPECT_EQ(data->saves, 0);
}

TEST(Core, SpeedAndPtzAddress) {
    CoreRig r;
    r.core->SpeedFromEdit(33);
    EXPECT_EQ(r.core->SpeedByte(), 33);
    EXPECT_EQ(r.core->Settings().ptzSpeed, 33);
    EXPECT_TRUE(r.core->SetPtzAddress(254));
    EXPECT_FALSE(r.core->SetPtzAddress(255));
    EXPECT_FALSE(r.core->SetPtzAddress(-1));
    EXPECT_EQ(r.core->PtzAddress(), 254);
}

// ---- operator scripts

TEST(Script, ParsesEveryAction) {
    std::vector<ScriptStep> s;
    std::string err;
    const char* text = "# register and query\n"
                       "sleep 100\n"
                       "wait-registered\n"
                       "wait-registered 2500\n"
                       "wait-log Catalog 3000   # a comment\n"
                       "wait-log 目录 查询\n"
                       "wait-log \"status 200\"\n"
                       "click 1080 2\n"
                       "tree 34020000001320000001\n"
                       "check 1092 on\n"
                       "set 1091 \"<?xml version=\\\"1.0\\\"?>\\r\\n<Query/>\"\n"
                       "set 1105\n"
                       "press 1093\n"
                       "drag 10 20 200 120\n"
                       "search 2024-01-01T00:00:00 2024-01-02T00:00:00 1\n"
                       "search cancel\n"
                       "settings local.port=5060 local.transport=\"TCP\" local.id=3402\n"
                       "about\n"
                       "shot out.png 1007\n"
                       "exit\n";
    ASSERT_TRUE(ParseScript(text, s, err)) << err;
    ASSERT_EQ(s.size(), 19u);
    EXPECT_EQ(s[0].verb, ScriptVerb::Sleep);
    EXPECT_EQ(s[0].number, 100);
    EXPECT_EQ(s[0].line, 2);
    EXPECT_EQ(s[1].number, kDefaultWaitMs);
    EXPECT_EQ(s[2].number, 2500);
    EXPECT_EQ(s[3].text, "Catalog");
    EXPECT_EQ(s[3].number, 3000);
    EXPECT_EQ(s[3].source, "wait-log Catalog 3000");
    EXPECT_EQ(s[4].text, "目录 查询");
    EXPECT_EQ(s[4].number, kDefaultWaitMs);
    EXPECT_EQ(s[5].text, "status 200");
    EXPECT_EQ(s[6].id, 1080);
    EXPECT_EQ(s[6].number, 2);
    EXPECT_EQ(s[7].text, "34020000001320000001");
    EXPECT_TRUE(s[8].flag);
    EXPECT_EQ(s[9].text, "<?xml version=\"1.0\"?>\r\n<Query/>");
    EXPECT_EQ(s[10].id, 1105);
    EXPECT_EQ(s[10].text, "");
    EXPECT_EQ(s[11].id, 1093);
    EXPECT_EQ(s[12].x2, 200);
    EXPECT_EQ(s[12].y2, 120);
    EXPECT_EQ(s[13].text2, "2024-01-02T00:00:00");
    EXPECT_EQ(s[13].id, 1);
    EXPECT_TRUE(s[14].flag);
    ASSERT_EQ(s[15].pairs.size(), 3u);
    EXPECT_EQ(s[15].pairs[1], (std::pair<std::string, std::string>{"local.transport", "TCP"}));
    EXPECT_EQ(s[16].verb, ScriptVerb::About);
    EXPECT_EQ(s[17].id, 1007);
    EXPECT_EQ(s[18].verb, ScriptVerb::Exit);
}

TEST(Script, BadLinesNameTheirLine) {
    std::vector<ScriptStep> s;
    std::string err;
    EXPECT_FALSE(ParseScript("sleep 1\njump 3\n", s, err));
    EXPECT_EQ(err, "line 2: unknown action \"jump\"");
    EXPECT_FALSE(ParseScript("sleep x", s, err));
    EXPECT_EQ(err.rfind("line 1: usage: sleep", 0), 0u);
    EXPECT_FALSE(ParseScript("click 1008 0", s, err));
    EXPECT_FALSE(ParseScript("click 1080 -1", s, err));
    EXPECT_FALSE(ParseScript("check 1092 maybe", s, err));
    EXPECT_FALSE(ParseScript("search a b 3", s, err));
    EXPECT_FALSE(ParseScript("settings local.port", s, err));
    for (const char* shot : {"shot a.png 1214 700", "shot a.png 1214 700 x", "shot a.png 1214 8 400",
                             "shot a.png 1214 700 400 1"}) {
        EXPECT_FALSE(ParseScript(shot, s, err)) << shot;
        EXPECT_EQ(err, "line 1: usage: shot FILE [ID [W H]]") << shot;
    }
    ASSERT_TRUE(ParseScript("shot a.png 1214 700 400", s, err)) << err;
    EXPECT_EQ(s[0].id, 1214);
    EXPECT_EQ(s[0].x1, 700);
    EXPECT_EQ(s[0].y1, 400);
    EXPECT_FALSE(ParseScript("set 1091 \"open", s, err));
    EXPECT_EQ(err, "line 1: unterminated quote");
    EXPECT_FALSE(ParseScript("drag 1 2 3", s, err));
    EXPECT_FALSE(ParseScript("exit now", s, err));
    EXPECT_TRUE(ParseScript("\n   \n# only comments\n", s, err));
    EXPECT_TRUE(s.empty());
}

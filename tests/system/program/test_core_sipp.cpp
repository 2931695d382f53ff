// The core with its real endpoint, SIPp playing the registered camera: the
// command bodies of both lists, built from the operator's inputs, reach it in
// real MESSAGE requests over UDP, byte for byte, with matching lengths.

#include "app/core/CoreRig.h"
#include "manscdp/control/BodyHarness.h"
#include "sip/endpoint/CSIP.h"
#include "support/common/LocalTime.h"
#include "support/common/Sipp.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <regex>
#include <thread>

namespace {

constexpr const char* kLocalId = "34020000002000000001";
constexpr const char* kChannel = "34010000001310000001";

using testsupport::Local;

class CommandsOnTheWire : public ::testing::Test {
protected:
    void SetUp() override {
        auto data = std::make_shared<MemoryStore::Data>();
        data->values = {{"本地服务器/协议", "0"}, {"本地服务器/ID", kLocalId},
                        {"本地服务器/端口", "0"}, {"本地服务器/地址", "127.0.0.1"}};
        auto sip = std::make_unique<CSIP>();
        sip_ = sip.get();
        CTarvexCore::Parts p;
        p.settings = std::make_unique<CDlgCfg>(std::make_unique<MemoryStore>(data));
        p.sip = std::move(sip);
        p.searchIni = dir.File("Search.ini");
        p.wallClock = [] { return Local(2026, 3, 3, 9, 5, 7, 42); };
        core = std::make_unique<CTarvexCore>(std::move(p));
        core->SetView(&view);
        testing::internal::CaptureStdout();
        core->Initialise();
        testing::internal::GetCapturedStdout();
        port = sip_->BoundPort();
        ASSERT_GT(port, 0);
    }
    void TearDown() override { core->Stop(); }

    // Waits until a logged row contains text.
    bool WaitRow(int direction, const std::string& text, int ms = 15000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            MessageLog::RowText r;
            for (std::size_t i = 0; core->Log().Row(i, r); ++i)
                if (r.direction == direction && r.body.find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    // Starts the camera, waits for its registration and the Catalog query that
    // follows it (SN 10), so that the operator's builds take SN 11 on.
    void StartCamera(int holdMs, bool withChannel = false, const std::string& inviteAnswer = {},
                     const std::string& natAddress = {}) {
        DeviceScript script;
        script.deviceId = kDevice;
        script.holdMs = holdMs;
        script.inviteAnswer = inviteAnswer;
        script.natAddress = natAddress;
        if (withChannel) script.catalog = {CatalogAnswer(kDevice, 1, {kChannel})};
        WriteFile(dir.File("cam.xml"), MainScenario(script));
        WriteFile(dir.File("cam-ooc.xml"), OocScenario(script));
        sippPort = FreePort(SOCK_DGRAM);
        std::vector<std::string> args = {"127.0.0.1:" + std::to_string(port),
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
                                         "-trace_msg",
                                         "-message_file",
                                         dir.File("cam.msg"),
                                         "-trace_err",
                                         "-error_file",
                                         dir.File("cam.err"),
                                         "-nostdin",
                                         "-timeout",
                                         "60s",
                                         "-max_recv_loops",
                                         "1000"};
        ASSERT_TRUE(sipp.Start(args, dir.File("cam.out")));
        ASSERT_TRUE(WaitRow(kLogSent, "<CmdType>Catalog</CmdType>")) << "no registration and Catalog query";
        ASSERT_TRUE(core->CurrentDeviceId().has_value());
        if (withChannel) {
            ASSERT_TRUE(WaitRow(kLogSent, "<CmdType>DeviceInfo</CmdType>"));
        }
    }

    int Finish() {
        const int rc = sipp.Wait(40000);
        if (rc != 0)
            std::printf("---- sipp:\n%s\n---- errors:\n%s\n", ReadFile(dir.File("cam.out")).c_str(),
                        ReadFile(dir.File("cam.err")).c_str());
        trace = ReadFile(dir.File("cam.msg"));
        return rc;
    }

    // The camera received this body in a MESSAGE whose Content-Length fits it.
    void ExpectReceived(const std::string& body) {
        const std::size_t at = trace.find("\r\n\r\n" + body);
        ASSERT_NE(at, std::string::npos) << body << "\n---- trace:\n" << trace.substr(0, 8000);
        const std::size_t head = trace.rfind("MESSAGE sip:", at);
        const std::size_t len = trace.rfind("Content-Length:", at);
        ASSERT_TRUE(head != std::string::npos && len != std::string::npos && len > head);
        EXPECT_EQ(std::strtoul(trace.c_str() + len + 15, nullptr, 10), body.size()) << body;
    }

    TempDir dir;
    RecordingView view;
    CSIP* sip_ = nullptr;
    std::unique_ptr<CTarvexCore> core;
    SippProcess sipp;
    int port = 0;
    int sippPort = 0;
    std::string trace;
};

} // namespace

TEST_F(CommandsOnTheWire, SignallingListControlAndConfiguration) {
    StartCamera(5000);
    for (int row : {3, 6, 7, 16, 33}) // reboot, alarm reset, DeviceConfig, TimeSetting, SwitchSetting
        core->ClickCommand(kListSignalling, row, {});
    ASSERT_EQ(Finish(), 0);
    ExpectReceived(Expected("Control", "DeviceControl", 11, {" <TeleBoot>Boot</TeleBoot>"}));
    ExpectReceived(Expected("Control", "DeviceControl", 12,
                            {" <AlarmCmd>ResetAlarm</AlarmCmd>", " <Info>",
                             "  <AlarmMethod>2</AlarmMethod>", " </Info>"}));
    ExpectReceived(
        Expected("Control", "DeviceConfig", 13,
                 {" <BasicParam>", "  <Expiration>3600</Expiration>",
                  "  <HeartBeatInterval>60</HeartBeatInterval>", " </BasicParam>"}));
    ExpectReceived(
        Expected("Control", "TimeSetting", 14, {" <DateTime>2026-03-03T09:05:07.042</DateTime>"}));
    ExpectReceived(
        Expected("Control", "SwitchSetting", 15,
                 {" <InputList Num=\"1\">", "  <Item>", "   <Channel>1</Channel>",
                  "   <State>True</State>", "  </Item>", " </InputList>", " <OutputList Num=\"1\">",
                  "  <Item>", "   <Channel>2</Channel>", "   <State>False</State>", "  </Item>",
                  " </OutputList>", " <AlarmList Num=\"1\">", "  <Item>", "   <Channel>3</Channel>",
                  "   <State>True</State>", "  </Item>", " </AlarmList>"}));
    // Every one went out as a MESSAGE to the camera and was logged as such.
    int messages = 0;
    for (std::size_t at = 0;
         (at = trace.find("MESSAGE sip:" + std::string(kDevice), at)) != std::string::npos; ++at)
        ++messages;
    EXPECT_EQ(messages, 6); // Catalog and the five commands
    // Each of our requests and the REGISTER's 200 name the 2022 edition.
    int versions = 0;
    for (std::size_t at = 0; (at = trace.find("\r\nX-GB-Ver: 3.0\r\n", at)) != std::string::npos; ++at)
        ++versions;
    EXPECT_EQ(versions, 7) << trace.substr(0, 4000);
}

TEST_F(CommandsOnTheWire, MediaListPanTiltZoomDragZoomAndRecordSearch) {
    // Catalog 10 and DeviceInfo 11 from the chain; the camera answers INVITE.
    StartCamera(6000, true,
                "v=0\r\no=" + std::string(kChannel) +
                    " 0 0 IN IP4 127.0.0.1\r\ns=Play\r\n"
                    "c=IN IP4 127.0.0.1\r\nt=0 0\r\nm=video 15060 RTP/AVP 96\r\na=sendonly\r\n"
                    "a=rtpmap:96 PS/90000\r\ny=0100000001\r\n");
    auto channel = [&] { return core->TreeSnapshot().children.at(0).children.at(0).item; };
    core->TreeClicked(channel());
    core->ClickCommand(kListMedia, 0, {}); // 实时点播: the live view opens
    ASSERT_EQ(core->MediaSetNumber(), 1);
    ASSERT_TRUE(WaitRow(kLogReceived, "m=video 15060")) << "no answer to the INVITE";
    core->SpeedFromEdit(192);
    OperatorInputs in;
    in.presetNumber = "1";
    in.presetName = "door";
    in.viewWidth = 704;
    in.viewHeight = 576;
    core->ClickCommand(kListMedia, 1, in);  // up
    core->ClickCommand(kListMedia, 9, in);  // stop
    core->ClickCommand(kListMedia, 12, in); // set preset 1
    in.drag = {100, 50, 300, 150};
    core->VideoDragged(in);
    core->ClickCommand(kListMedia, 0, in); // 点播取消: BYE
    ASSERT_EQ(core->MediaSetNumber(), 0);
    core->ClickCommand(kListMedia, 4, in); // start recording
    core->Search().Accept("2026-03-01T08:00:00", "2026-03-01T20:00:00", 1);
    core->ClickCommand(kListMedia, 3, in); // recording search
    ASSERT_EQ(Finish(), 0);
    ExpectReceived(
        Expected("Control", "DeviceControl", 12, {" <PTZCmd>A50F0108C000007D</PTZCmd>"}, kChannel));
    ExpectReceived(
        Expected("Control", "DeviceControl", 13, {" <PTZCmd>A50F0100C0000075</PTZCmd>"}, kChannel));
    ExpectReceived(
        Expected("Control", "DeviceControl", 14,
                 {" <PTZCmd>A50F008100010036</PTZCmd>", " <Info>",
                  "  <ControlPriority>5</ControlPriority>", "  <Name>door</Name>", " </Info>"},
                 kChannel));
    ExpectReceived(
        Expected("Control", "DeviceControl", 15,
                 {" <DragZoomIn>", "  <Length>576</Length>", "  <Width>704</Width>",
                  "  <MidPointX>200</MidPointX>", "  <MidPointY>100</MidPointY>",
                  "  <LengthX>200</LengthX>", "  <LengthY>100</LengthY>", " </DragZoomIn>"},
                 kChannel));
    ExpectReceived(Expected("Control", "DeviceControl", 16, {" <RecordCmd>Record</RecordCmd>"}, kChannel));
    ExpectReceived(
        Expected("Query", "RecordInfo", 17,
                 {" <StartTime>2026-03-01T08:00:00</StartTime>",
                  " <EndTime>2026-03-01T20:00:00</EndTime>", " <Type>manual</Type>",
                  " <FilePath>64010000002100000001</FilePath>", " <Address>Address1</Address>",
                  " <Secrecy>0</Secrecy>", " <RecorderID>64010000003000000001</RecorderID>"},
                 kChannel));
    // The live view was one call: its INVITE answered, ended by one BYE.
    const auto messages = ReadSippTrace(dir.File("cam.msg"));
    const auto invites = ReceivedRequests(messages, "INVITE");
    const auto byes = ReceivedRequests(messages, "BYE");
    ASSERT_EQ(invites.size(), 1u);
    ASSERT_EQ(byes.size(), 1u);
    EXPECT_EQ(byes[0].Header("Call-ID"), invites[0].Header("Call-ID"));
    // The stream was asked of the channel selected, as SIPp received it.
    EXPECT_EQ(invites[0].StartLine().rfind("INVITE sip:" + std::string(kChannel) + "@", 0), 0u)
        << invites[0].StartLine();
    EXPECT_NE(invites[0].Header("To").find(std::string("sip:") + kChannel + "@"), std::string::npos);
    EXPECT_EQ(invites[0].Header("Subject").rfind(std::string(kChannel) + ":", 0), 0u);
    EXPECT_NE(invites[0].Body().find("o=" + std::string(kChannel) + " "), std::string::npos);
}

TEST_F(CommandsOnTheWire, DeviceBehindNatIsReachedAtThePacketsSource) {
    // Via, From and Contact name the NAT's inside address without a port or
    // rport: the Catalog query must go where the REGISTER came from.
    StartCamera(3000, true, {}, "127.0.0.2");
    ASSERT_EQ(Finish(), 0);
    std::vector<std::pair<std::string, int>> devices;
    core->VisitDevices([&](const DeviceNode& d) { devices.emplace_back(d.address, d.port); });
    EXPECT_EQ(devices, (std::vector<std::pair<std::string, int>>{{"127.0.0.1", sippPort}}));
    const auto queries = ReceivedRequests(ReadSippTrace(dir.File("cam.msg")), "MESSAGE");
    ASSERT_GE(queries.size(), 2u);
    EXPECT_NE(queries[0].Body().find("<CmdType>Catalog</CmdType>"), std::string::npos);
    EXPECT_EQ(core->TreeSnapshot().children.at(0).children.at(0).text, std::string(kChannel) + "  Camera");
}

// A device that counts Content-Length in characters: the datagram holds more
// bytes than declared, and the declared cut ends inside the XML.
TEST_F(CommandsOnTheWire, ContentLengthInCharactersOverUdpUsesTheWholeDatagram) {
    const int fd = LoopbackUdpTo(port);
    ASSERT_GE(fd, 0);
    auto send = [&](const char* method, int n, const std::string& body, std::size_t declared) {
        const std::string k = std::to_string(n);
        const std::string m = std::string(method) + " sip:" + kLocalId + "@127.0.0.1 SIP/2.0\r\n"
                              "Via: SIP/2.0/UDP 127.0.0.1:9;rport;branch=z9hG4bKchars" + k + "\r\nFrom: <sip:" +
                              kDevice + "@127.0.0.1:9>;tag=c" + k + "\r\nTo: <sip:" + kLocalId +
                              "@127.0.0.1>\r\nCall-ID: chars" + k + "\r\nCSeq: 1 " + method +
                              "\r\nMax-Forwards: 70\r\nContent-Type: Application/MANSCDP+xml\r\n"
                              "Content-Length: " + std::to_string(declared) + "\r\n\r\n" + body;
        ASSERT_EQ(::send(fd, m.data(), m.size(), 0), static_cast<ssize_t>(m.size()));
    };
    send("REGISTER", 1, "", 0);
    ASSERT_TRUE(WaitRow(kLogSent, "<CmdType>Catalog</CmdType>"));
    // Six Chinese characters of three bytes each: 12 bytes more than counted.
    const std::string body = "<?xml version=\"1.0\"?>\r\n<Response>\r\n<CmdType>Catalog</CmdType>\r\n"
                             "<SN>10</SN>\r\n<DeviceID>" + std::string(kDevice) + "</DeviceID>\r\n"
                             "<SumNum>1</SumNum>\r\n<DeviceList Num=\"1\">\r\n<Item>\r\n<DeviceID>" + kChannel +
                             "</DeviceID>\r\n<Name>前门摄像机一</Name>\r\n</Item>\r\n</DeviceList>\r\n</Response>\r\n";
    testing::internal::CaptureStderr();
    send("MESSAGE", 2, body, body.size() - 12);
    const bool dispatched = WaitRow(kLogReceived, "</Response>");
    const std::string err = testing::internal::GetCapturedStderr();
    close(fd);
    ASSERT_TRUE(dispatched);
    EXPECT_EQ(core->TreeSnapshot().children.at(0).children.at(0).text,
              std::string(kChannel) + "  前门摄像机一");
    EXPECT_EQ(err, "tarvex: MESSAGE from " + std::string(kDevice) + ": Content-Length " +
                       std::to_string(body.size() - 12) + " cuts its XML; the whole datagram body of " +
                       std::to_string(body.size()) + " bytes is used\n");
}

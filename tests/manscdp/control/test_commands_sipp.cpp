// SIPp plays the registered camera: the command bodies of both lists reach it
// in real MESSAGE requests over UDP, byte for byte, with matching lengths.

#include "BodyHarness.h"
#include "sip/endpoint/FakeView.h"
#include "support/common/Sipp.h"
#include "manscdp/search/CDlgSearch.h"
#include "sip/endpoint/SignalCore.h"
#include "support/common/LocalTime.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <cstdlib>
#include <ctime>
#include <regex>
#include <thread>

namespace {

constexpr const char* kLocalId = "34020000002000000001";

using testsupport::Local;

class CommandsOnTheWire : public ::testing::Test {
protected:
    void SetUp() override {
        core.SetView(&view);
        core.ResetTree(kLocalId);
        SipSettings s;
        s.port = 0;
        s.address = "127.0.0.1";
        s.id = kLocalId;
        s.domain = "3402000000";
        ASSERT_EQ(core.StartEndpoint(0, s), 0);
        port = core.Sip().BoundPort();
        ASSERT_GT(port, 0);
        core.Builder().SetBodyHook([this](int list, int set, int row, XMLNode& root) {
            bodies.Append(list, set, row, root);
        });
    }
    void TearDown() override { core.StopEndpoint(); }

    // Starts the camera, waits for its registration and the Catalog query that
    // follows it (SN 10), so that the operator's builds take SN 11 on.
    void StartCamera(int holdMs) {
        DeviceScript script;
        script.deviceId = kDevice;
        script.holdMs = holdMs;
        WriteFile(dir.File("cam.xml"), MainScenario(script));
        WriteFile(dir.File("cam-ooc.xml"), OocScenario(script));
        const int sippPort = FreePort(SOCK_DGRAM);
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
        ASSERT_TRUE(view.WaitFor(
            [&] {
                for (const auto& r : view.rows)
                    if (r.direction == kLogSent &&
                        r.body.find("<CmdType>Catalog</CmdType>") != std::string::npos)
                        return true;
                return false;
            },
            15000))
            << "no registration and Catalog query";
        ASSERT_TRUE(core.CurrentDeviceId().has_value());
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
    FakeView view;
    CommandBodies bodies;
    SignalCore core;
    SippProcess sipp;
    int port = 0;
    std::string trace;
};

} // namespace

TEST_F(CommandsOnTheWire, SignallingListControlAndConfiguration) {
    bodies.SetSettings(3600, 60);
    bodies.SetClock([] { return Local(2026, 3, 3, 9, 5, 7, 42); });
    StartCamera(5000);
    CommandBuilder& b = core.Builder();
    b.RunSignalling(3);  // reboot
    b.RunSignalling(6);  // alarm reset
    b.RunSignalling(7);  // DeviceConfig
    b.RunSignalling(16); // TimeSetting
    b.RunSignalling(33); // SwitchSetting
    ASSERT_EQ(Finish(), 0);
    ExpectReceived(Expected("Control", "DeviceControl", 11, {" <TeleBoot>Boot</TeleBoot>"}));
    ExpectReceived(Expected("Control", "DeviceControl", 12,
                            {" <AlarmCmd>ResetAlarm</AlarmCmd>", " <Info>",
                             "  <AlarmMethod>2</AlarmMethod>", " </Info>"}));
    ExpectReceived(
        Expected("Control", "DeviceConfig", 13,
                 {" <BasicParam>", "  <Name>Korvane IPC</Name>", "  <Expiration>3600</Expiration>",
                  "  <HeartBeatInterval>60</HeartBeatInterval>",
                  "  <HeartBeatCount>3</HeartBeatCount>", " </BasicParam>"}));
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
}

TEST_F(CommandsOnTheWire, MediaListPanTiltZoomDragZoomAndRecordSearch) {
    CDlgSearch search(dir.File("Search.ini"));
    CommandBodies withSearch(&search);
    core.Builder().SetBodyHook([&](int list, int set, int row, XMLNode& root) {
        withSearch.Append(list, set, row, root);
    });
    withSearch.SetControl(192, 1, "door", 704, 576);
    StartCamera(5000);
    CommandBuilder& b = core.Builder();
    b.FillMedia(1);             // a channel with its live view open
    b.ClickRow(kListMedia, 1);  // up
    b.ClickRow(kListMedia, 9);  // stop
    b.ClickRow(kListMedia, 12); // set preset 1
    withSearch.SetDrag({100, 50, 300, 150});
    b.ClickRow(kListMedia, DragZoomRow(withSearch.Drag()));
    b.FillMedia(0);
    b.ClickRow(kListMedia, 4); // start recording
    search.Accept("2026-03-01T08:00:00", "2026-03-01T20:00:00", 1);
    b.ClickRow(kListMedia, 3); // recording search
    ASSERT_EQ(Finish(), 0);
    ExpectReceived(
        Expected("Control", "DeviceControl", 11, {" <PTZCmd>A50F0108C000007D</PTZCmd>"}));
    ExpectReceived(
        Expected("Control", "DeviceControl", 12, {" <PTZCmd>A50F0100C0000075</PTZCmd>"}));
    ExpectReceived(
        Expected("Control", "DeviceControl", 13,
                 {" <PTZCmd>A50F008100010036</PTZCmd>", " <Info>",
                  "  <ControlPriority>5</ControlPriority>", "  <Name>door</Name>", " </Info>"}));
    ExpectReceived(
        Expected("Control", "DeviceControl", 14,
                 {" <DragZoomIn>", "  <Length>576</Length>", "  <Width>704</Width>",
                  "  <MidPointX>200</MidPointX>", "  <MidPointY>100</MidPointY>",
                  "  <LengthX>200</LengthX>", "  <LengthY>100</LengthY>", " </DragZoomIn>"}));
    ExpectReceived(Expected("Control", "DeviceControl", 15, {" <RecordCmd>Record</RecordCmd>"}));
    ExpectReceived(
        Expected("Query", "RecordInfo", 16,
                 {" <StartTime>2026-03-01T08:00:00</StartTime>",
                  " <EndTime>2026-03-01T20:00:00</EndTime>", " <Type>manual</Type>",
                  " <FilePath>64010000002100000001</FilePath>", " <Address>Address1</Address>",
                  " <Secrecy>0</Secrecy>", " <RecorderID>64010000003000000001</RecorderID>"}));
}

// Configuration bodies of the signalling list, byte for byte, with the
// settings' registration time and heartbeat period and an injected clock.

#include "manscdp/control/BodyHarness.h"
#include "base/TextCodec.h"
#include "base/TimeText.h"
#include "support/common/LocalTime.h"

#include <gtest/gtest.h>

#include <ctime>

namespace {

using testsupport::Local;

struct ConfigHarness : BodyHarness {
    ConfigHarness() {
        bodies.SetSettings(3600, 60);
        bodies.SetClock([] { return Local(2026, 3, 3, 9, 5, 7, 42); });
    }
};

} // namespace

TEST(TimeText, LocalTimeWithAndWithoutMilliseconds) {
    EXPECT_EQ(LocalTimeText(Local(2026, 3, 3, 9, 5, 7, 42)), "2026-03-03T09:05:07");
    EXPECT_EQ(LocalTimeTextMs(Local(2026, 3, 3, 9, 5, 7, 42)), "2026-03-03T09:05:07.042");
    EXPECT_EQ(LocalTimeTextMs(Local(2026, 12, 31, 23, 59, 59, 999)), "2026-12-31T23:59:59.999");
    EXPECT_EQ(LocalTimeTextMs(Local(2026, 1, 1, 0, 0, 0, 0)), "2026-01-01T00:00:00.000");
}

TEST(ConfigBodies, DeviceConfigSendsWhatTheOperatorEntered) {
    // It used to rename the device under test to a name of ours and set a
    // heartbeat count of ours; now the settings' two values go out unless the
    // row's inputs say otherwise, and a name or count only when typed.
    ConfigHarness h;
    EXPECT_EQ(h.Signalling(7), Expected("Control", "DeviceConfig", 10,
                                        {" <BasicParam>", "  <Expiration>3600</Expiration>",
                                         "  <HeartBeatInterval>60</HeartBeatInterval>",
                                         " </BasicParam>"}));
    h.bodies.SetSettings(7200, 15);
    EXPECT_EQ(h.Signalling(7), Expected("Control", "DeviceConfig", 11,
                                        {" <BasicParam>", "  <Expiration>7200</Expiration>",
                                         "  <HeartBeatInterval>15</HeartBeatInterval>",
                                         " </BasicParam>"}));
    // As the dialog hands them: every box, the empty ones too.
    h.bodies.SetRowValues({{"Name", "前门"},
                           {"Expiration", ""},
                           {"HeartBeatInterval", "20"},
                           {"HeartBeatCount", "5"}});
    // The Chinese name goes out as the GB2312 the body then declares.
    const std::string plain = Expected("Control", "DeviceConfig", 12,
                                       {" <BasicParam>", "  <Name>前门</Name>",
                                        "  <Expiration>7200</Expiration>",
                                        "  <HeartBeatInterval>20</HeartBeatInterval>",
                                        "  <HeartBeatCount>5</HeartBeatCount>", " </BasicParam>"});
    const std::string plainDecl = "<?xml version=\"1.0\"?>\r\n";
    ASSERT_EQ(plain.rfind(plainDecl, 0), 0u);
    EXPECT_EQ(h.Signalling(7), TextCodec::Utf8ToGbk("<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n" +
                                                    plain.substr(plainDecl.size())));
    ASSERT_EQ(h.sent.size(), 3u);
    for (const auto& s : h.sent) {
        EXPECT_EQ(s.first, kKindControl);
        EXPECT_EQ(s.second.find("Korvane"), std::string::npos);
    }
}

TEST(ConfigBodies, FixedSettingCommands) {
    ConfigHarness h;
    h.bodies.SetRowValues({{"ConfigType", "BasicParam"}});
    EXPECT_EQ(h.Signalling(8),
              Expected("Query", "ConfigDownload", 10, {" <ConfigType>BasicParam</ConfigType>"}));
    EXPECT_EQ(h.sent.back().first, kKindQuery);
    h.bodies.SetRowValues({});
    EXPECT_EQ(h.Signalling(10),
              Expected("Control", "FTPSetting", 11,
                       {" <Ftp>192.0.2.10:21</Ftp>", " <Ftpuser>tarvex</Ftpuser>",
                        " <Ftppassword>Kelp</Ftppassword>", " <Path>Snapshot</Path>"}));
    EXPECT_EQ(h.Signalling(14),
              Expected("Control", "SerialPortSetting", 12,
                       {" <SerialPort>1</SerialPort>", " <BandRate>115200</BandRate>",
                        " <DataBit>8</DataBit>", " <Parity>0</Parity>", " <StopBit>1</StopBit>",
                        " <Mode>RS232</Mode>", " <FlowControl>0</FlowControl>"}));
    EXPECT_EQ(h.Signalling(18), Expected("Control", "TimeConfigSetting", 13, {" <Mode>2</Mode>"}));
    EXPECT_EQ(
        h.Signalling(21),
        Expected("Control", "NetworkSetting", 14,
                 {" <InterfaceID>Q4RM8T2KD07315N</InterfaceID>", " <DHCP>1</DHCP>",
                  " <IPAddress>192.168.1.254</IPAddress>", " <SubMask>255.255.255.0</SubMask>",
                  " <DefaultGateway>192.168.1.1</DefaultGateway>",
                  " <DNSPrimary>192.0.2.53</DNSPrimary>",
                  " <DNSSecondary>198.51.100.53</DNSSecondary>"}));
    EXPECT_EQ(h.Signalling(23),
              Expected("Control", "ChannelSetting", 15,
                       {" <Channel>1</Channel>", " <Type>1</Type>", " <Name>Channel1</Name>",
                        " <Privilege>0111111110</Privilege>", " <Longitude>11.0</Longitude>",
                        " <Latitude>23.3</Latitude>"}));
    EXPECT_EQ(h.Signalling(25),
              Expected("Control", "DeviceAlarmSetting", 16,
                       {" <AlarmType>0</AlarmType>", " <DiskAlarm>25</DiskAlarm>"}));
    // A query that still carries AlarmType.
    EXPECT_EQ(h.Signalling(26),
              Expected("Query", "DeviceAlarmInfo", 17, {" <AlarmType>0</AlarmType>"}));
    EXPECT_EQ(h.sent.back().first, kKindQuery);
    EXPECT_EQ(h.Signalling(27), Expected("Control", "DisplaySetting", 18,
                                         {" <Contrast>100</Contrast>", " <Bright>200</Bright>",
                                          " <Hue>20</Hue>", " <Saturation>125</Saturation>"}));
    EXPECT_EQ(h.Signalling(29),
              Expected("Control", "TextSetting", 19,
                       {" <EnableTime>True</EnableTime>", " <EnableText>True</EnableText>",
                        " <TimeX>30</TimeX>", " <TimeY>100</TimeY>", " <Text>Hello World</Text>",
                        " <TextX>100</TextX>", " <TextY>300</TextY>"}));
    EXPECT_EQ(h.Signalling(35),
              Expected("Control", "AudioEncoderSetting", 20,
                       {" <EncodeMode>3</EncodeMode>", " <EncodeSampleRate>128</EncodeSampleRate>",
                        " <EncodeBitRate>256</EncodeBitRate>", " <QuanBitRate>16</QuanBitRate>"}));
    EXPECT_EQ(
        h.Signalling(37),
        Expected("Control", "ImageEncoderSetting", 21,
                 {" <EncodeMode>6</EncodeMode>", " <Quality>0</Quality>", " <BitRate>128</BitRate>",
                  " <FrameRate>25</FrameRate>", " <ImageSize>0</ImageSize>",
                  " <StreamType>1</StreamType>", " <IFrameInterval>15</IFrameInterval>"}));
}

TEST(ConfigBodies, TimeSettingWithMilliseconds) {
    ConfigHarness h;
    EXPECT_EQ(h.Signalling(16), Expected("Control", "TimeSetting", 10,
                                         {" <DateTime>2026-03-03T09:05:07.042</DateTime>"}));
    h.bodies.SetClock([] { return Local(2026, 11, 30, 18, 0, 1, 5); });
    EXPECT_EQ(h.Signalling(16), Expected("Control", "TimeSetting", 11,
                                         {" <DateTime>2026-11-30T18:00:01.005</DateTime>"}));
}

TEST(ConfigBodies, StorageSchemaWithTheScheduleOfNow) {
    ConfigHarness h;
    EXPECT_EQ(h.Signalling(31), Expected("Control", "StorageSchemaSetting", 10,
                                         {" <EnableTime>True</EnableTime>",
                                          " <EnableText>True</EnableText>",
                                          " <CycleTask>",
                                          "  <Period>12</Period>",
                                          "  <Slice>30</Slice>",
                                          "  <Policy>1</Policy>",
                                          "  <FrameInterval>10</FrameInterval>",
                                          "  <Type>3</Type>",
                                          " </CycleTask>",
                                          " <SchedualTask>",
                                          "  <Period>12</Period>",
                                          "  <Slice>30</Slice>",
                                          "  <Policy>1</Policy>",
                                          "  <StartTime>2026-03-03T09:05:07</StartTime>",
                                          "  <EndTime>2026-03-03T09:05:07</EndTime>",
                                          " </SchedualTask>",
                                          " <AlarmTask>",
                                          "  <PreRecordTime>5</PreRecordTime>",
                                          "  <PostRecordTime>10</PostRecordTime>",
                                          " </AlarmTask>"}));
}

TEST(ConfigBodies, StorageSchemaReadsTheClockOnce) {
    ConfigHarness h;
    // A clock that moves by a second on every reading: both texts still agree.
    int calls = 0;
    h.bodies.SetClock([&calls] { return Local(2026, 3, 3, 9, 5, 7 + calls++, 0); });
    const std::string out = h.Signalling(31);
    EXPECT_EQ(calls, 1);
    EXPECT_NE(out.find("<StartTime>2026-03-03T09:05:07</StartTime>\r\n  "
                       "<EndTime>2026-03-03T09:05:07</EndTime>"),
              std::string::npos)
        << out;
}

TEST(ConfigBodies, SwitchSettingListsCarryNum) {
    ConfigHarness h;
    EXPECT_EQ(
        h.Signalling(33),
        Expected("Control", "SwitchSetting", 10,
                 {" <InputList Num=\"1\">", "  <Item>", "   <Channel>1</Channel>",
                  "   <State>True</State>", "  </Item>", " </InputList>", " <OutputList Num=\"1\">",
                  "  <Item>", "   <Channel>2</Channel>", "   <State>False</State>", "  </Item>",
                  " </OutputList>", " <AlarmList Num=\"1\">", "  <Item>", "   <Channel>3</Channel>",
                  "   <State>True</State>", "  </Item>", " </AlarmList>"}));
}

TEST(ConfigBodies, InfoQueriesCarryTheEnvelopeOnly) {
    ConfigHarness h;
    struct Q {
        int row;
        const char* cmd;
    } queries[] = {{11, "FTPInfo"},        {12, "PresetQuery"},      {13, "CruiseTrackListQuery"},
                   {15, "SerialPortInfo"}, {17, "TimeInfo"},         {19, "TimeConfigInfo"},
                   {20, "DeviceInfo"},     {22, "NetworkInfo"},      {24, "ChannelInfo"},
                   {28, "DisplayInfo"},    {30, "TextInfo"},         {32, "StorageSchemaInfo"},
                   {34, "SwitchInfo"},     {36, "AudioEncoderInfo"}, {38, "ImageEncoderInfo"}};
    int sn = 10;
    for (const auto& q : queries)
        EXPECT_EQ(h.Signalling(q.row), Expected("Query", q.cmd, sn++, {}));
    EXPECT_EQ(h.Signalling(39), Expected("Subscribe", "Alarm", sn++, {}));
    EXPECT_EQ(h.sent.back().first, kKindSubscribe);
}

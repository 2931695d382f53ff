// The whole program: a SIPp device sends an alarm and two positions in
// MESSAGEs; when the program is closed (SIGTERM, as the close box), Alarms.csv
// and Positions.csv lie beside the MsgXml.xls it wrote, and Python's csv
// module reads back the list's columns.
#include "system/program/Harness.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

constexpr const char* kDevice = "34010000001320000001";

std::string Body(const std::string& inner) {
    return "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<Notify>\r\n" + inner + "</Notify>\r\n";
}

TEST(EventExport, AlarmsAndPositionsBesideTheWorkbookWhenTheProgramCloses) {
    TempDir dir;
    const int port = FreePort(SOCK_DGRAM);
    WriteFile(dir.File("config.ini"), systest::Config(port));
    systest::Program tarvex(dir.Path(), {});
    ASSERT_TRUE(tarvex.WaitOut("SIP endpoint start transport 0")) << tarvex.Out();
    DeviceScript s;
    s.deviceId = kDevice;
    s.holdMs = 500;
    s.messages = {
        {300,
         Body("<CmdType>Alarm</CmdType>\r\n<SN>1</SN>\r\n<DeviceID>34010000001340000001</DeviceID>\r\n"
              "<AlarmPriority>2</AlarmPriority>\r\n<AlarmMethod>5</AlarmMethod>\r\n"
              "<AlarmTime>2026-12-09T10:00:00</AlarmTime>\r\n<AlarmDescription>door, \"front\"</AlarmDescription>\r\n"
              "<Longitude>116.397</Longitude>\r\n<Latitude>39.909</Latitude>\r\n"
              "<Info>\r\n<AlarmType>2</AlarmType>\r\n</Info>\r\n"),
         true},
    };
    for (int i = 0; i < 2; ++i)
        s.messages.push_back({100,
                              Body("<CmdType>MobilePosition</CmdType>\r\n<SN>" + std::to_string(2 + i) +
                                   "</SN>\r\n<DeviceID>" + kDevice + "</DeviceID>\r\n<Time>2026-12-09T10:00:0" +
                                   std::to_string(i) + "</Time>\r\n<Longitude>116.5" + std::to_string(i) +
                                   "</Longitude>\r\n<Latitude>39.25</Latitude>\r\n<Speed>36</Speed>\r\n"
                                   "<Direction>90</Direction>\r\n"),
                              true});
    systest::Camera camera(dir, "cam", false);
    ASSERT_TRUE(camera.Start(port, s));
    EXPECT_EQ(camera.Wait(), 0) << camera.Report();
    tarvex.Signal(SIGTERM);
    ASSERT_EQ(tarvex.Wait(20000), 0) << tarvex.Out();
    for (const char* f : {"MsgXml.xls", "Alarms.csv", "Positions.csv"})
        EXPECT_TRUE(std::filesystem::exists(dir.File(f))) << f << "\n" << tarvex.Out();
    // The columns that do not hold the time of arrival.
    WriteFile(dir.File("read.py"),
              "import csv\n"
              "for name, cols in (('Alarms.csv', slice(0, 10)), ('Positions.csv', slice(0, 7))):\n"
              "    rows = list(csv.reader(open(name, encoding='utf-8-sig', newline='')))\n"
              "    print(name, len(rows))\n"
              "    for r in rows: print('|'.join(r[cols]))\n");
    ASSERT_EQ(testsupport::RunIn(dir.Path(), {"/usr/bin/python3", "read.py"}, dir.File("py.txt"), 30000), 0)
        << ReadFile(dir.File("py.txt"));
    EXPECT_EQ(ReadFile(dir.File("py.txt")),
              "Alarms.csv 2\n"
              "时间|设备|通道|级别|方式|类型|描述|经度|纬度|复位\n"
              "2026-12-09T10:00:00|34010000001320000001|34010000001340000001|2|5|2|door, \"front\"|116.397|39.909|\n"
              "Positions.csv 3\n"
              "通道|时间|经度|纬度|速度|方向|海拔\n"
              "34010000001320000001|2026-12-09T10:00:00|116.500000|39.250000|36|90|\n"
              "34010000001320000001|2026-12-09T10:00:01|116.510000|39.250000|36|90|\n");
}

} // namespace

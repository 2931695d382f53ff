// Alarms.csv and Positions.csv read back by Python's csv module: the BOM,
// the columns, quoting of commas, quotes and line breaks, Chinese text.
#include "platform/subscriptions/EventCsv.h"
#include "support/common/ChildProcess.h"
#include "support/common/Files.h"

#include <gtest/gtest.h>

using namespace tvsub;

TEST(EventCsv, PythonReadsBackWhatTheListShows) {
    TempDir dir;
    AlarmRecord a;
    a.time = "2026-12-09T10:00:00";
    a.device = "34020000001320000001";
    a.channel = "34020000001340000001";
    a.priority = "1";
    a.method = "5";
    a.type = "2";
    a.description = "移动侦测, \"门\"\r\n第二行";
    a.longitude = "116.397";
    a.latitude = "39.909";
    a.acknowledged = true;
    AlarmRecord b = a;
    b.description = "plain";
    b.acknowledged = false;
    PositionRecord p;
    p.time = "2026-12-09T10:00:01";
    p.longitude = 116.5;
    p.latitude = 39.25;
    p.speed = "36.0";
    std::map<std::string, std::vector<PositionRecord>> tracks = {{"c1", {p, p}}, {"c2", {p}}};
    std::string error;
    ASSERT_TRUE(WriteEventCsv(dir.Path(), {a, b}, tracks, error)) << error;
    WriteFile(dir.File("read.py"),
              "import csv\n"
              "for name in ('Alarms.csv', 'Positions.csv'):\n"
              "    raw = open(name, 'rb').read()\n"
              "    assert raw.startswith(b'\\xef\\xbb\\xbf'), name\n"
              "    rows = list(csv.reader(open(name, encoding='utf-8-sig', newline='')))\n"
              "    print(name, len(rows), len(rows[0]), all(len(r) == len(rows[0]) for r in rows))\n"
              "    for r in rows[:3]: print('|'.join(r).replace('\\r\\n', '<CRLF>'))\n");
    ASSERT_EQ(testsupport::RunIn(dir.Path(), {"/usr/bin/python3", "read.py"}, dir.File("out.txt"), 30000), 0)
        << ReadFile(dir.File("out.txt"));
    EXPECT_EQ(ReadFile(dir.File("out.txt")),
              "Alarms.csv 3 11 True\n"
              "时间|设备|通道|级别|方式|类型|描述|经度|纬度|复位|收到\n"
              "2026-12-09T10:00:00|34020000001320000001|34020000001340000001|1|5|2|移动侦测, \"门\"<CRLF>第二行|"
              "116.397|39.909|已复位|\n"
              "2026-12-09T10:00:00|34020000001320000001|34020000001340000001|1|5|2|plain|116.397|39.909||\n"
              "Positions.csv 4 8 True\n"
              "通道|时间|经度|纬度|速度|方向|海拔|收到\n"
              "c1|2026-12-09T10:00:01|116.500000|39.250000|36.0|||\n"
              "c1|2026-12-09T10:00:01|116.500000|39.250000|36.0|||\n");
}

TEST(EventCsv, AnUnwritableFolderIsReported) {
    std::string error;
    EXPECT_FALSE(WriteEventCsv("/nonexistent/folder", {}, {}, error));
    EXPECT_NE(error.find("/nonexistent/folder"), std::string::npos);
}

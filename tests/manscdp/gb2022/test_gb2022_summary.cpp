// The readable lines of the 2022 answers and notifications, from bodies
// written by hand as devices send them (declaration, GB2312 label, no
// indentation or our indentation), and the fields read for the snapshot and
// upgrade flows.

#include "manscdp/gb2022/Gb2022Summary.h"

#include <gtest/gtest.h>

TEST(Gb2022Summary, AnswersAndNotifications) {
    struct Case {
        const char* body;
        const char* line;
    } cases[] = {
        {"<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<Notify>\r\n"
         "<CmdType>UploadSnapShotFinished</CmdType>\r\n<SN>7</SN>\r\n"
         "<DeviceID>34010000001320000001</DeviceID>\r\n<SessionID>ABCDEF0123</SessionID>\r\n"
         "<SnapShotList>\r\n<SnapShotFileID>a1</SnapShotFileID>\r\n"
         "<SnapShotFileID>a2</SnapShotFileID>\r\n</SnapShotList>\r\n</Notify>\r\n",
         "抓拍传输完成: 会话 ABCDEF0123, 2 张 (a1, a2)"},
        {"<?xml version=\"1.0\"?><Notify><CmdType>DeviceUpgradeResult</CmdType><SN>8</SN>"
         "<DeviceID>34010000001320000001</DeviceID><SessionID>S1</SessionID>"
         "<Firmware>V2.0</Firmware><Result>OK</Result></Notify>",
         "升级结果: 会话 S1, 固件 V2.0, 结果 OK"},
        {"<?xml version=\"1.0\"?><Notify><CmdType>DeviceUpgradeResult</CmdType><SN>8</SN>"
         "<DeviceID>1</DeviceID><SessionID>S2</SessionID><Firmware>V2.0</Firmware>"
         "<Result>ERROR</Result><Description>checksum</Description></Notify>",
         "升级结果: 会话 S2, 固件 V2.0, 结果 ERROR, checksum"},
        // UpgradeResult and UpgradeFailedReason, as one public device library names them.
        {"<?xml version=\"1.0\"?><Notify><CmdType>DeviceUpgradeResult</CmdType><SN>9</SN>"
         "<DeviceID>34020000001320000001</DeviceID><SessionID>0123456789abcdef0123456789abcdef</SessionID>"
         "<UpgradeResult>ERROR</UpgradeResult><Firmware>v1.0.0</Firmware>"
         "<UpgradeFailedReason>02</UpgradeFailedReason></Notify>",
         "升级结果: 会话 0123456789abcdef0123456789abcdef, 固件 v1.0.0, 结果 ERROR, 02"},
        {"<?xml version=\"1.0\"?><Notify><CmdType>MediaStatus</CmdType><SN>9</SN>"
         "<DeviceID>1</DeviceID><NotifyType>121</NotifyType></Notify>",
         "媒体状态: 121 历史媒体文件发送结束"},
        {"<?xml version=\"1.0\"?><Response><CmdType>HomePositionQuery</CmdType><SN>10</SN>"
         "<DeviceID>1</DeviceID><Result>OK</Result><HomePosition><Enabled>1</Enabled>"
         "<ResetTime>30</ResetTime><PresetIndex>3</PresetIndex></HomePosition></Response>",
         "看守位: 启用 1, 归位时间 30, 预置位 3 [OK]"},
        {"<?xml version=\"1.0\"?><Response><CmdType>CruiseTrackListQuery</CmdType><SN>11</SN>"
         "<DeviceID>1</DeviceID><Result>OK</Result><CruiseTrackList Num=\"2\">"
         "<CruiseTrack><Number>1</Number><Name>gate</Name></CruiseTrack>"
         "<CruiseTrack><Number>2</Number><Name>yard</Name></CruiseTrack>"
         "</CruiseTrackList></Response>",
         "巡航轨迹列表: 2 条 1 gate; 2 yard [OK]"},
        {"<?xml version=\"1.0\"?><Response><CmdType>PTZPosition</CmdType><SN>12</SN>"
         "<DeviceID>1</DeviceID><Pan>120.5</Pan><Tilt>-15</Tilt><Zoom>4</Zoom></Response>",
         "PTZ 位置: Pan 120.5, Tilt -15, Zoom 4"},
        {"<?xml version=\"1.0\"?><Response><CmdType>PTZPosition</CmdType><SN>12</SN>"
         "<DeviceID>1</DeviceID><Result>ERROR</Result></Response>",
         "PTZ 位置: Pan (无), Tilt (无), Zoom (无) [ERROR]"},
        {"<?xml version=\"1.0\"?><Response><CmdType>SDCardStatus</CmdType><SN>13</SN>"
         "<DeviceID>1</DeviceID><SDCardList Num=\"1\"><Item><ID>1</ID><Status>OK</Status>"
         "<Capacity>32768</Capacity><FreeSpace>1024</FreeSpace></Item></SDCardList></Response>",
         "存储卡: 1 张 1 OK 容量 32768 剩余 1024"},
        // The answer as public device libraries write it: SumNum, then
        // SDCardStatusInfo with HddName and a lower-case Status.
        {"<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<Response>\r\n<CmdType>SDCardStatus</CmdType>\r\n"
         "<SN>12</SN>\r\n<DeviceID>34020000001320000001</DeviceID>\r\n<Result>OK</Result>\r\n"
         "<SumNum>2</SumNum>\r\n<SDCardStatusInfo>\r\n<Item>\r\n<ID>1</ID>\r\n<HddName>SD1</HddName>\r\n"
         "<Status>ok</Status>\r\n<Capacity>32768</Capacity>\r\n<FreeSpace>24576</FreeSpace>\r\n</Item>\r\n"
         "<Item>\r\n<ID>2</ID>\r\n<HddName>SD2</HddName>\r\n<Status>formatting</Status>\r\n"
         "<FormatProgress>50</FormatProgress>\r\n<Capacity>131072</Capacity>\r\n<FreeSpace>0</FreeSpace>\r\n"
         "</Item>\r\n</SDCardStatusInfo>\r\n</Response>\r\n",
         "存储卡: 2 张 1 SD1 ok 容量 32768 剩余 24576; 2 SD2 formatting 容量 131072 剩余 0 [OK]"},
        // The list's own Num, where a device gives one, is the count shown.
        {"<?xml version=\"1.0\"?><Response><CmdType>SDCardStatus</CmdType><SN>13</SN>"
         "<DeviceID>1</DeviceID><SumNum>1</SumNum><SDCardStatusInfo Num=\"1\"><Item><ID>1</ID>"
         "<HddName>card</HddName><Status>idle</Status><Capacity>10</Capacity><FreeSpace>5</FreeSpace>"
         "</Item></SDCardStatusInfo></Response>",
         "存储卡: 1 张 1 card idle 容量 10 剩余 5"},
        {"<?xml version=\"1.0\"?><Response><CmdType>SDCardStatus</CmdType><SN>14</SN>"
         "<DeviceID>1</DeviceID><Result>OK</Result><SumNum>0</SumNum></Response>",
         "存储卡: 0 张 [OK]"},
        // Pan, Tilt and Zoom inside PTZPosInfo, as one public platform reads them.
        {"<?xml version=\"1.0\"?><Response><CmdType>PTZPosition</CmdType><SN>7</SN>"
         "<DeviceID>34020000001320000001</DeviceID><Result>OK</Result><PTZPosInfo><Pan>12.50</Pan>"
         "<Tilt>-3.25</Tilt><Zoom>2.00</Zoom></PTZPosInfo></Response>",
         "PTZ 位置: Pan 12.50, Tilt -3.25, Zoom 2.00 [OK]"},
        // The flat answer with the 2022 view fields after the three.
        {"<?xml version=\"1.0\"?><Response><CmdType>PTZPosition</CmdType><SN>8</SN>"
         "<DeviceID>1</DeviceID><Result>OK</Result><Pan>180.5</Pan><Tilt>30.25</Tilt><Zoom>2.0</Zoom>"
         "<HorizontalFieldAngle>60.0</HorizontalFieldAngle><VerticalFieldAngle>40.0</VerticalFieldAngle>"
         "<MaxViewDistance>500.0</MaxViewDistance></Response>",
         "PTZ 位置: Pan 180.5, Tilt 30.25, Zoom 2.0 [OK]"},
        // Not a 2022 body: nothing to add to the log.
        {"<?xml version=\"1.0\"?><Response><CmdType>DeviceInfo</CmdType><SN>1</SN>"
         "<DeviceID>1</DeviceID></Response>",
         ""},
        {"<?xml version=\"1.0\"?><Response><CmdType>ConfigDownload</CmdType><SN>1</SN>"
         "<DeviceID>1</DeviceID><BasicParam><Name>x</Name></BasicParam></Response>",
         ""},
        {"<?xml version=\"1.0\"?><Response><CmdType>ConfigDownload</CmdType><SN>1</SN>"
         "<DeviceID>1</DeviceID><Result>OK</Result><FrameMirror>1</FrameMirror>"
         "<OSDConfig><Length>1</Length></OSDConfig></Response>",
         "配置: FrameMirror, OSDConfig [OK]"},
        {"not xml at all", ""},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SummarizeGb2022(std::string(c.body)), c.line) << c.body;
}

TEST(Gb2022Summary, LongListsAreCut) {
    std::string body = "<?xml version=\"1.0\"?><Notify><CmdType>UploadSnapShotFinished</CmdType>"
                       "<SessionID>S</SessionID><SnapShotList>";
    for (int i = 0; i < 50; ++i)
        body += "<SnapShotFileID>f" + std::to_string(i) + "</SnapShotFileID>";
    body += "</SnapShotList></Notify>";
    const std::string line = SummarizeGb2022(body);
    EXPECT_NE(line.find("50 张"), std::string::npos) << line;
    EXPECT_NE(line.find("f7)"), std::string::npos) << line;
    EXPECT_EQ(line.find("f8"), std::string::npos) << line;
}

TEST(Gb2022Summary, ReadsTheFlowsFields) {
    SnapShotFinished s;
    XMLNode doc = XMLNode::Parse(
        "<?xml version=\"1.0\"?><Notify><CmdType>UploadSnapShotFinished</CmdType><SN>1</SN>"
        "<DeviceID>D</DeviceID><SessionID>S</SessionID><SnapShotList>"
        "<SnapShotFileID>x</SnapShotFileID></SnapShotList></Notify>");
    ASSERT_TRUE(ReadSnapShotFinished(doc, s));
    EXPECT_EQ(s.deviceId, "D");
    EXPECT_EQ(s.sessionId, "S");
    ASSERT_EQ(s.fileIds.size(), 1u);
    EXPECT_EQ(s.fileIds[0], "x");
    UpgradeResult u;
    EXPECT_FALSE(ReadUpgradeResult(doc, u));
    // A Response with the notification's CmdType is not the notification.
    XMLNode answer = XMLNode::Parse("<?xml version=\"1.0\"?><Response><CmdType>"
                                    "UploadSnapShotFinished</CmdType></Response>");
    EXPECT_FALSE(ReadSnapShotFinished(answer, s));
    // The result under either spelling devices use.
    XMLNode other = XMLNode::Parse(
        "<?xml version=\"1.0\"?><Notify><CmdType>DeviceUpgradeResult</CmdType>"
        "<SessionID>S</SessionID><UpgradeResult>OK</UpgradeResult></Notify>");
    ASSERT_TRUE(ReadUpgradeResult(other, u));
    EXPECT_EQ(u.result, "OK");
}

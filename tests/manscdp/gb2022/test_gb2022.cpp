// The rows of the 2022 edition and the mended 2016 rows: each body on the
// wire against one written by hand after the published examples (compared as
// trees: element names, order, attributes and texts), the range checks made
// before sending, and the 2016 setting.

#include "manscdp/control/BodyHarness.h"
#include "manscdp/gb2022/Gb2022Bodies.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

namespace {

// Names, attributes and trimmed texts in document order; blanks between
// elements do not count, so a hand-written body compares with ours.
void Canon(const XMLNode& n, std::string& out) {
    out += "<";
    out += n.Name();
    for (int i = 0; i < n.AttributeCount(); ++i)
        out += " " + n.Attribute(i)->name + "=" + n.Attribute(i)->value;
    out += ">";
    for (int i = 0; i < n.ContentCount(); ++i) {
        int kind = -1, index = -1;
        n.ContentAt(i, &kind, &index);
        if (kind == 0) Canon(n.ChildAt(index), out);
        if (kind == 2) {
            std::string t = n.Text(index);
            const auto b = t.find_first_not_of(" \t\r\n");
            if (b == std::string::npos) continue;
            out += t.substr(b, t.find_last_not_of(" \t\r\n") - b + 1);
        }
    }
    out += "</" + std::string(n.Name()) + ">";
}

std::string Tree(const std::string& text) {
    int outcome = -1;
    XMLNode doc = XMLNode::Parse(text, &outcome);
    EXPECT_EQ(outcome, XML_OK) << text;
    if (doc.IsEmpty()) return "<unparsed>";
    XMLNode e = doc.IsDeclaration() ? doc.ChildAt(0) : doc;
    std::string s;
    Canon(e, s);
    return s;
}

struct Rows : BodyHarness {
    std::vector<std::string> refusals;
    Rows() {
        bodies.onRefused = [this](const std::string& m) { refusals.push_back(m); };
    }
    std::string Row(int row, RowValues v) {
        bodies.SetRowValues(std::move(v));
        return Signalling(row);
    }
};

} // namespace

// Hand-written after the examples published for each command; SN and
// DeviceID are the harness's (its first SN is 10).
TEST(Gb2022Bodies, OnTheWireAsThePublishedExamples) {
    struct Case {
        int row;
        RowValues values;
        const char* expected;
    } cases[] = {
        {43, {{"Pan", "120.50"}, {"Tilt", "-15"}, {"Zoom", "4"}},
         "<?xml version=\"1.0\"?><Control><CmdType>DeviceControl</CmdType><SN>10</SN>"
         "<DeviceID>34010000001320000001</DeviceID><PTZPreciseCtrl><Pan>120.50</Pan>"
         "<Tilt>-15</Tilt><Zoom>4</Zoom></PTZPreciseCtrl></Control>"},
        {44,
         {{"Manufacturer", "test"},
          {"Firmware", "V3.7.191-b20241227"},
          {"FileURL", "https://192.168.1.73/upgrade/testv3-7-191-b20241227.apk"},
          {"SessionID", "A1FBCA20ACF640D8BA317E4DC4620802677281FD"}},
         "<?xml version=\"1.0\" ?>\n<Control>\n<CmdType>DeviceControl</CmdType>\n<SN>10</SN>\n"
         "<DeviceID>34010000001320000001</DeviceID>\n<DeviceUpgrade>\n"
         "<Manufacturer>test</Manufacturer>\n<Firmware>V3.7.191-b20241227</Firmware>\n"
         "<FileURL>https://192.168.1.73/upgrade/testv3-7-191-b20241227.apk</FileURL>\n"
         "<SessionID>A1FBCA20ACF640D8BA317E4DC4620802677281FD</SessionID>\n"
         "</DeviceUpgrade>\n</Control>\n"},
        {45, {{"FormatSDCard", "1"}},
         "<?xml version=\"1.0\"?><Control><CmdType>DeviceControl</CmdType><SN>10</SN>"
         "<DeviceID>34010000001320000001</DeviceID><FormatSDCard>1</FormatSDCard></Control>"},
        // 0: every card, as the public device libraries take it.
        {45, {{"FormatSDCard", "0"}},
         "<?xml version=\"1.0\"?><Control><CmdType>DeviceControl</CmdType><SN>10</SN>"
         "<DeviceID>34010000001320000001</DeviceID><FormatSDCard>0</FormatSDCard></Control>"},
        {46, {{"TargetTrack", "Auto"}},
         "<?xml version=\"1.0\"?><Control><CmdType>DeviceControl</CmdType><SN>10</SN>"
         "<DeviceID>34010000001320000001</DeviceID><TargetTrack>Auto</TargetTrack></Control>"},
        // Manual tracking of a panoramic camera: the channel that tracks and the
        // box, given as a drag zoom's window size, centre and box size.
        {46,
         {{"TargetTrack", "Manual"}, {"DeviceID2", "34020000001320000009"}, {"Length", "1920"},
          {"Width", "1080"}, {"MidPointX", "960"}, {"MidPointY", "540"}, {"LengthX", "200"},
          {"LengthY", "100"}},
         "<?xml version=\"1.0\"?><Control><CmdType>DeviceControl</CmdType><SN>10</SN>"
         "<DeviceID>34010000001320000001</DeviceID><TargetTrack>Manual</TargetTrack>"
         "<DeviceID2>34020000001320000009</DeviceID2><TargetArea><Length>1920</Length>"
         "<Width>1080</Width><MidPointX>960</MidPointX><MidPointY>540</MidPointY>"
         "<LengthX>200</LengthX><LengthY>100</LengthY></TargetArea></Control>"},
        {46, {{"TargetTrack", "Stop"}},
         "<?xml version=\"1.0\"?><Control><CmdType>DeviceControl</CmdType><SN>10</SN>"
         "<DeviceID>34010000001320000001</DeviceID><TargetTrack>Stop</TargetTrack></Control>"},
        {47, {{"Enabled", "1"}, {"ResetTime", "30"}, {"PresetIndex", "3"}},
         "<?xml version=\"1.0\"?><Control><CmdType>DeviceControl</CmdType><SN>10</SN>"
         "<DeviceID>34010000001320000001</DeviceID><HomePosition><Enabled>1</Enabled>"
         "<ResetTime>30</ResetTime><PresetIndex>3</PresetIndex></HomePosition></Control>"},
        {48, {},
         "<?xml version=\"1.0\"?><Query><CmdType>HomePositionQuery</CmdType><SN>10</SN>"
         "<DeviceID>34010000001320000001</DeviceID></Query>"},
        {13, {},
         "<?xml version=\"1.0\"?><Query><CmdType>CruiseTrackListQuery</CmdType><SN>10</SN>"
         "<DeviceID>34010000001320000001</DeviceID></Query>"},
        {49, {{"Number", "1"}},
         "<?xml version=\"1.0\"?><Query><CmdType>CruiseTrackQuery</CmdType><SN>10</SN>"
         "<DeviceID>34010000001320000001</DeviceID><Number>1</Number></Query>"},
        {50, {},
         "<?xml version=\"1.0\"?><Query><CmdType>PTZPosition</CmdType><SN>10</SN>"
         "<DeviceID>34010000001320000001</DeviceID></Query>"},
        {51, {},
         "<?xml version=\"1.0\"?><Query><CmdType>SDCardStatus</CmdType><SN>10</SN>"
         "<DeviceID>34010000001320000001</DeviceID></Query>"},
        {9,
         {{"SnapNum", "3"},
          {"Interval", "1"},
          {"UploadURL", "http://192.0.2.7:8080/snapshot/up"},
          {"SessionID", "0123456789abcdef0123456789abcdef"}},
         "<?xml version=\"1.0\"?><Control><CmdType>DeviceConfig</CmdType><SN>10</SN>"
         "<DeviceID>34010000001320000001</DeviceID><SnapShotConfig><SnapNum>3</SnapNum>"
         "<Interval>1</Interval><UploadURL>http://192.0.2.7:8080/snapshot/up</UploadURL>"
         "<SessionID>0123456789abcdef0123456789abcdef</SessionID></SnapShotConfig></Control>"},
        {8, {{"ConfigType", "VideoParamAttribute/OSDConfig"}},
         "<?xml version=\"1.0\"?><Query><CmdType>ConfigDownload</CmdType><SN>10</SN>"
         "<DeviceID>34010000001320000001</DeviceID>"
         "<ConfigType>VideoParamAttribute/OSDConfig</ConfigType></Query>"},
        {7, {{"Name", "Gate 3"}, {"Expiration", "3600"}, {"HeartBeatInterval", "60"},
             {"HeartBeatCount", "3"}},
         "<?xml version=\"1.0\"?><Control><CmdType>DeviceConfig</CmdType><SN>10</SN>"
         "<DeviceID>34010000001320000001</DeviceID><BasicParam><Name>Gate 3</Name>"
         "<Expiration>3600</Expiration><HeartBeatInterval>60</HeartBeatInterval>"
         "<HeartBeatCount>3</HeartBeatCount></BasicParam></Control>"},
        // The stream by its number, as the public device and platform code writes it.
        {52,
         {{"StreamNumber", "0"}, {"VideoFormat", "2"}, {"Resolution", "6"}, {"FrameRate", "25"},
          {"BitRateType", "2"}, {"VideoBitRate", "4096"}},
         "<?xml version=\"1.0\"?><Control><CmdType>DeviceConfig</CmdType><SN>10</SN>"
         "<DeviceID>34010000001320000001</DeviceID><VideoParamAttribute Num=\"1\"><Item>"
         "<StreamNumber>0</StreamNumber><VideoFormat>2</VideoFormat><Resolution>6</Resolution>"
         "<FrameRate>25</FrameRate><BitRateType>2</BitRateType><VideoBitRate>4096</VideoBitRate>"
         "</Item></VideoParamAttribute></Control>"},
        // A variable rate may leave the rate out.
        {52,
         {{"StreamNumber", "0"}, {"VideoFormat", "2"}, {"Resolution", "6"}, {"FrameRate", "30"},
          {"BitRateType", "2"}},
         "<?xml version=\"1.0\"?><Control><CmdType>DeviceConfig</CmdType><SN>10</SN>"
         "<DeviceID>34010000001320000001</DeviceID><VideoParamAttribute Num=\"1\"><Item>"
         "<StreamNumber>0</StreamNumber><VideoFormat>2</VideoFormat><Resolution>6</Resolution>"
         "<FrameRate>30</FrameRate><BitRateType>2</BitRateType></Item></VideoParamAttribute>"
         "</Control>"},
        {53,
         {{"RecordEnable", "1"}, {"WeekDayNum", "1"}, {"StartHour", "8"}, {"StartMin", "0"},
          {"StartSec", "0"}, {"StopHour", "18"}, {"StopMin", "30"}, {"StopSec", "0"},
          {"StreamNumber", "0"}},
         "<?xml version=\"1.0\"?><Control><CmdType>DeviceConfig</CmdType><SN>10</SN>"
         "<DeviceID>34010000001320000001</DeviceID><VideoRecordPlan><RecordEnable>1</RecordEnable>"
         "<RecordScheduleSumNum>1</RecordScheduleSumNum><RecordSchedule><WeekDayNum>1</WeekDayNum>"
         "<TimeSegmentSumNum>1</TimeSegmentSumNum><TimeSegment><StartHour>8</StartHour>"
         "<StartMin>0</StartMin><StartSec>0</StartSec><StopHour>18</StopHour><StopMin>30</StopMin>"
         "<StopSec>0</StopSec></TimeSegment></RecordSchedule><StreamNumber>0</StreamNumber>"
         "</VideoRecordPlan></Control>"},
        {54, {{"RecordEnable", "1"}, {"RecordTime", "60"}, {"PreRecordTime", "5"},
              {"StreamNumber", "0"}},
         "<?xml version=\"1.0\"?><Control><CmdType>DeviceConfig</CmdType><SN>10</SN>"
         "<DeviceID>34010000001320000001</DeviceID><VideoAlarmRecord><RecordEnable>1</RecordEnable>"
         "<RecordTime>60</RecordTime><PreRecordTime>5</PreRecordTime><StreamNumber>0</StreamNumber>"
         "</VideoAlarmRecord></Control>"},
        {55, {{"On", "1"}, {"Point", "20,30,50,60"}},
         "<?xml version=\"1.0\"?><Control><CmdType>DeviceConfig</CmdType><SN>10</SN>"
         "<DeviceID>34010000001320000001</DeviceID><PictureMask><On>1</On><SumNum>1</SumNum>"
         "<RegionList Num=\"1\"><Item><Seq>1</Seq><Point>20,30,50,60</Point></Item></RegionList>"
         "</PictureMask></Control>"},
        {56, {{"FrameMirror", "1"}},
         "<?xml version=\"1.0\"?><Control><CmdType>DeviceConfig</CmdType><SN>10</SN>"
         "<DeviceID>34010000001320000001</DeviceID><FrameMirror>1</FrameMirror></Control>"},
        {57, {{"MotionDetection", "1"}, {"FieldDetection", "0"}},
         "<?xml version=\"1.0\"?><Control><CmdType>DeviceConfig</CmdType><SN>10</SN>"
         "<DeviceID>34010000001320000001</DeviceID><AlarmReport><MotionDetection>1"
         "</MotionDetection><FieldDetection>0</FieldDetection></AlarmReport></Control>"},
        {58,
         {{"Length", "1920"}, {"Width", "1080"}, {"TimeX", "10"}, {"TimeY", "10"},
          {"TimeEnable", "1"}, {"TimeType", "0"}, {"TextEnable", "1"}, {"Text", "North gate"},
          {"X", "10"}, {"Y", "1000"}},
         "<?xml version=\"1.0\"?><Control><CmdType>DeviceConfig</CmdType><SN>10</SN>"
         "<DeviceID>34010000001320000001</DeviceID><OSDConfig><Length>1920</Length>"
         "<Width>1080</Width><TimeX>10</TimeX><TimeY>10</TimeY><TimeEnable>1</TimeEnable>"
         "<TimeType>0</TimeType><TextEnable>1</TextEnable><SumNum>1</SumNum><Item>"
         "<Text>North gate</Text><X>10</X><Y>1000</Y></Item></OSDConfig></Control>"},
    };
    for (const auto& c : cases) {
        Rows h;
        const std::string wire = h.Row(c.row, c.values);
        EXPECT_EQ(Tree(wire), Tree(c.expected)) << "row " << c.row << "\n" << wire;
        EXPECT_TRUE(h.refusals.empty()) << "row " << c.row << ": " << h.refusals[0];
    }
}

TEST(Gb2022Bodies, ValuesOutsideTheirRangesAreRefusedBeforeSending) {
    struct Case {
        int row;
        RowValues values;
        const char* reasonHas;
    } cases[] = {
        {43, {{"Pan", "360.01"}, {"Tilt", "0"}, {"Zoom", "1"}}, "Pan"},
        {43, {{"Pan", "-1"}, {"Tilt", "0"}, {"Zoom", "1"}}, "Pan"},
        {43, {{"Pan", "10"}, {"Tilt", "-30.5"}, {"Zoom", "1"}}, "Tilt"},
        {43, {{"Pan", "10"}, {"Tilt", "90.1"}, {"Zoom", "1"}}, "Tilt"},
        {43, {{"Pan", "10"}, {"Tilt", "0"}, {"Zoom", "0.5"}}, "Zoom"},
        {43, {{"Pan", "0x10"}, {"Tilt", "0"}, {"Zoom", "1"}}, "Pan"},
        {43, {{"Pan", "1e2"}, {"Tilt", "0"}, {"Zoom", "1"}}, "Pan"},
        {43, {{"Pan", "nan"}, {"Tilt", "0"}, {"Zoom", "1"}}, "Pan"},
        {43, {{"Tilt", "0"}, {"Zoom", "1"}}, "Pan"},
        {44, {{"Manufacturer", "m"}, {"Firmware", "f"}, {"FileURL", "ftp://x/y"}}, "FileURL"},
        {44, {{"Manufacturer", "m"}, {"Firmware", "f"}, {"FileURL", "http://"}}, "FileURL"},
        {44, {{"Manufacturer", "m"}, {"Firmware", "f"}, {"FileURL", "http://a/<b>"}}, "FileURL"},
        {45, {{"FormatSDCard", "17"}}, "FormatSDCard"},
        {46, {{"TargetTrack", "auto"}}, "TargetTrack"},
        {46, {{"TargetTrack", "Manual"}, {"Length", "1920"}, {"Width", "1080"}}, "TargetArea"},
        {46,
         {{"TargetTrack", "Manual"}, {"Length", "1920"}, {"Width", "1080"}, {"MidPointX", "960"},
          {"MidPointY", "540"}, {"LengthX", "200"}, {"LengthY", "-1"}},
         "LengthY"},
        {52,
         {{"StreamNumber", "0"}, {"VideoFormat", "2"}, {"Resolution", "6"}, {"FrameRate", "25"},
          {"BitRateType", "1"}},
         "VideoBitRate"},
        {52,
         {{"StreamNumber", "9"}, {"VideoFormat", "2"}, {"Resolution", "6"}, {"FrameRate", "25"},
          {"BitRateType", "2"}},
         "StreamNumber"},
        {47, {{"Enabled", "1"}}, "看守位"},
        {47, {{"Enabled", "1"}, {"ResetTime", "30"}, {"PresetIndex", "256"}}, "PresetIndex"},
        {9, {{"SnapNum", "11"}, {"Interval", "1"}, {"UploadURL", "http://h/u"}}, "SnapNum"},
        {9, {{"SnapNum", "1"}, {"Interval", "0"}, {"UploadURL", "http://h/u"}}, "Interval"},
        {8, {{"ConfigType", "BasicParam/Nonsense"}}, "Nonsense"},
        {8, {{"ConfigType", "BasicParam/"}}, "配置类型"},
        {7, {{"Name", "a\x01"}}, "控制字符"},
        {53,
         {{"RecordEnable", "1"}, {"WeekDayNum", "8"}, {"StartHour", "8"}, {"StartMin", "0"},
          {"StartSec", "0"}, {"StopHour", "18"}, {"StopMin", "0"}, {"StopSec", "0"},
          {"StreamNumber", "0"}},
         "WeekDayNum"},
        {53,
         {{"RecordEnable", "1"}, {"WeekDayNum", "1"}, {"StartHour", "18"}, {"StartMin", "0"},
          {"StartSec", "0"}, {"StopHour", "8"}, {"StopMin", "0"}, {"StopSec", "0"},
          {"StreamNumber", "0"}},
         "结束时间"},
        {55, {{"On", "1"}, {"Point", "1,2,3,x"}}, "Point"},
        {57, {}, "至少"},
    };
    for (const auto& c : cases) {
        Rows h;
        EXPECT_EQ(h.Row(c.row, c.values), "") << "row " << c.row;
        EXPECT_TRUE(h.sent.empty());
        ASSERT_EQ(h.refusals.size(), 1u) << "row " << c.row;
        EXPECT_NE(h.refusals[0].find(c.reasonHas), std::string::npos)
            << "row " << c.row << ": " << h.refusals[0];
    }
}

TEST(Gb2022Bodies, BoundsThemselvesAreAccepted) {
    Rows h;
    EXPECT_NE(h.Row(43, {{"Pan", "0"}, {"Tilt", "-30"}, {"Zoom", "1"}}), "");
    EXPECT_NE(h.Row(43, {{"Pan", "360"}, {"Tilt", "90"}, {"Zoom", "1000"}}), "");
    EXPECT_NE(h.Row(43, {{"Pan", " 12.5 "}, {"Tilt", "+3"}, {"Zoom", "2"}}).find("<Pan>12.5</Pan>"),
              std::string::npos);
    EXPECT_TRUE(h.refusals.empty()) << h.refusals[0];
}

TEST(Gb2022Bodies, SessionIdsAreFreshWhenLeftEmpty) {
    Rows h;
    const RowValues v = {{"SnapNum", "1"}, {"Interval", "1"}, {"UploadURL", "http://h/u"}};
    std::set<std::string> ids;
    for (int i = 0; i < 3; ++i) {
        XMLNode doc = XMLNode::Parse(h.Row(9, v));
        const char* id = doc.FindText("SessionID");
        ASSERT_NE(id, nullptr);
        EXPECT_EQ(std::strlen(id), 32u);
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), 3u);
}

TEST(Gb2022Bodies, The2016SettingRefusesThe2022Rows) {
    Rows h;
    h.bodies.SetEdition(GbEdition::Gb2016);
    for (int row : {9, 13, 43, 44, 45, 46, 48, 49, 50, 51, 52, 58}) {
        h.refusals.clear();
        EXPECT_EQ(h.Row(row, {{"Pan", "1"}, {"Tilt", "1"}, {"Zoom", "1"}}), "") << row;
        ASSERT_EQ(h.refusals.size(), 1u) << row;
        EXPECT_NE(h.refusals[0].find("2016"), std::string::npos);
    }
    // Rows both editions have still go out; ConfigDownload knows only the 2016 types.
    EXPECT_NE(h.Row(7, {{"Name", "x"}}), "");
    EXPECT_NE(h.Row(8, {{"ConfigType", "BasicParam/VideoParamOpt"}}), "");
    h.refusals.clear();
    EXPECT_EQ(h.Row(8, {{"ConfigType", "OSDConfig"}}), "");
    ASSERT_EQ(h.refusals.size(), 1u);
    EXPECT_EQ(EditionSetting("2016"), GbEdition::Gb2016);
    EXPECT_EQ(EditionSetting(""), GbEdition::Gb2022);
    EXPECT_EQ(EditionSetting("2022"), GbEdition::Gb2022);
}

TEST(Gb2022Bodies, EveryAddedRowHasASpecAndTheTableAgrees) {
    auto t = SignallingTable();
    for (int row = kFirstGb2022Row; row < kFirstGb2022Row + kGb2022Rows; ++row) {
        ASSERT_NE(RowFormFor(row), nullptr) << row;
        EXPECT_TRUE(RowFormFor(row)->only2022 || row == 47) << row;
    }
    EXPECT_EQ(static_cast<std::size_t>(kFirstGb2022Row + kGb2022Rows), t.size());
    EXPECT_NE(RowFormFor(44)->confirm, nullptr); // upgrade asks first
    EXPECT_NE(RowFormFor(45)->confirm, nullptr); // so does formatting the card
    EXPECT_EQ(RowFormFor(43)->confirm, nullptr);
    EXPECT_EQ(RowFormFor(0), nullptr);
}

TEST(Gb2022Version, HeaderValuesAndTheLoggedRegister) {
    EXPECT_STREQ(GbVersionHeader(GbEdition::Gb2022), "3.0");
    EXPECT_STREQ(GbVersionHeader(GbEdition::Gb2016), "2.0");
    struct Case {
        const char* value;
        GbEdition edition;
    } cases[] = {{"3.0", GbEdition::Gb2022}, {"3.1", GbEdition::Gb2022}, {"2.0", GbEdition::Gb2016},
                 {"", GbEdition::Gb2016},    {"x", GbEdition::Gb2016},   {"1.0", GbEdition::Gb2016}};
    for (const auto& c : cases)
        EXPECT_EQ(EditionOfHeader(c.value), c.edition) << c.value;
    const std::string head = "REGISTER sip:34020000002000000001@3402000000 SIP/2.0\r\n"
                             "Via: SIP/2.0/UDP 127.0.0.1:5061\r\n"
                             "x-gb-ver :  3.0 \r\n"
                             "Expires: 3600\r\n";
    EXPECT_EQ(GbVersionInHead(head), "3.0");
    EXPECT_EQ(GbVersionInHead("REGISTER sip:a SIP/2.0\r\nX-GB-Verx: 3.0\r\n"), "");
    EXPECT_EQ(GbVersionInHead("REGISTER sip:a SIP/2.0\r\nExpires: 1\r\n"), "");
}

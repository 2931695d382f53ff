// What the window marks: which log rows are alarms, and per identifier the
// unacknowledged alarms and the last position.
#include "platform/subscriptions/EventMarks.h"

#include <gtest/gtest.h>

using namespace tvsub;

namespace {

const std::string kDev = "34020000001320000001", kCh = "34020000001340000001";

XMLNode Parsed(const std::string& xml) {
    XMLNode top = XMLNode::Parse(xml);
    return top.HasName() ? top : top.ChildAt(0);
}

TEST(EventMarks, AlarmRowsAreReceivedAlarmNotifies) {
    const std::string alarm =
        "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<Notify>\r\n<CmdType> Alarm </CmdType>\r\n"
        "<SN>3</SN>\r\n<DeviceID>" + kCh + "</DeviceID>\r\n</Notify>\r\n";
    struct Case {
        int direction;
        std::string head, body;
        bool alarm;
    } cases[] = {
        {2, "MESSAGE sip:x SIP/2.0\r\n", alarm, true},
        {2, "NOTIFY sip:x SIP/2.0\r\n", alarm, true},
        {1, "MESSAGE sip:x SIP/2.0\r\n", alarm, false},   // ours (a copy sent on)
        {2, "SIP/2.0 200 OK\r\n", alarm, false},          // an answer
        {2, "MESSAGE sip:x SIP/2.0\r\n", "<Query><CmdType>Alarm</CmdType></Query>", false},
        {2, "MESSAGE sip:x SIP/2.0\r\n", "<Notify><CmdType>Keepalive</CmdType></Notify>", false},
        {2, "MESSAGE sip:x SIP/2.0\r\n", "<Notify><CmdType>AlarmX</CmdType></Notify>", false},
        {2, "MESSAGE sip:x SIP/2.0\r\n", "<Notify><CmdType>Alarm", false}, // cut short
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsAlarmRow(c.direction, c.head, c.body), c.alarm) << c.head << c.body;
}

TEST(EventMarks, UnacknowledgedAlarmsByDeviceAndSourceAndTheLastPosition) {
    EventBook book;
    const std::string alarm = "<Notify><CmdType>Alarm</CmdType><DeviceID>" + kCh +
                              "</DeviceID><AlarmPriority>1</AlarmPriority></Notify>";
    for (int i = 0; i < 3; ++i) book.Apply(kDev, Parsed(alarm), "now");
    // An alarm of the device itself counts once.
    book.Apply(kDev, Parsed("<Notify><CmdType>Alarm</CmdType><DeviceID>" + kDev + "</DeviceID></Notify>"),
               "now");
    for (const char* lon : {"116.1", "116.2"})
        book.Apply(kDev,
                   Parsed("<Notify><CmdType>MobilePosition</CmdType><DeviceID>" + kCh +
                          "</DeviceID><Time>2026-12-09T01:00:0" + std::string(lon).substr(4) +
                          "</Time><Longitude>" + lon + "</Longitude><Latitude>39.9</Latitude></Notify>"),
                   "now");
    auto marks = EventMarks(book);
    EXPECT_EQ(marks[kDev].alarms, 4);
    EXPECT_EQ(marks[kCh].alarms, 3);
    EXPECT_EQ(marks[kCh].lastPosition, "经度 116.200000, 纬度 39.900000 (2026-12-09T01:00:02)");
    EXPECT_EQ(marks[kDev].lastPosition, "");
    // 报警复位 of one: it no longer counts.
    book.Acknowledge(book.Alarms()[0].serial);
    marks = EventMarks(book);
    EXPECT_EQ(marks[kDev].alarms + marks[kCh].alarms, 5);
}

} // namespace

// Bodies as cameras and recorders send them: what the dispatch reads out of them,
// and that writing and reading again keeps the tree.

#include "manscdp/xml/XMLNode.h"

#include "base/TextCodec.h"
#include "XmlDump.h"

#include <fstream>
#include <gtest/gtest.h>
#include <iterator>

namespace {

std::string Body(const std::string& name) {
    std::ifstream in(std::string(TARVEX_TEST_DATA) + "/manscdp/" + name, std::ios::binary);
    EXPECT_TRUE(in.good()) << name;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

XMLNode ParseBody(const std::string& name) {
    int outcome = -1;
    XMLNode n = XMLNode::Parse(Body(name), &outcome);
    EXPECT_EQ(outcome, XML_OK) << name;
    return n;
}

// The document element of a parsed body, under its declaration.
XMLNode Root(const XMLNode& doc) {
    return doc.IsDeclaration() ? doc.ChildAt(0) : doc;
}

std::string Utf8(const char* gbk) {
    return gbk ? TextCodec::GbkToUtf8(gbk) : "<null>";
}

} // namespace

TEST(XmlBodies, CatalogWithGbkNames) {
    XMLNode doc = ParseBody("catalog_gb2312.xml");
    ASSERT_STREQ(doc.Name(), "xml");
    EXPECT_STREQ(doc.AttributeValue("encoding"), "GB2312");
    XMLNode r = Root(doc);
    EXPECT_STREQ(r.Name(), "Response");
    EXPECT_STREQ(doc.FindText("CmdType"), "Catalog");
    EXPECT_STREQ(r.FindText("SN"), "11");
    EXPECT_STREQ(r.FindText("SumNum"), "3");
    XMLNode list = r.ChildWithNum("DeviceList");
    ASSERT_FALSE(list.IsEmpty());
    EXPECT_STREQ(list.AttributeValue("Num"), "3");
    std::vector<std::string> ids, names, status;
    int cursor = 0;
    for (XMLNode item = list.ChildByName("Item", &cursor); !item.IsEmpty();
         item = list.ChildByName("Item", &cursor)) {
        ids.push_back(item.FindText("DeviceID"));
        names.push_back(Utf8(item.FindText("Name")));
        status.push_back(item.FindText("Status"));
    }
    EXPECT_EQ(ids, (std::vector<std::string>{"34020000001310000001", "34020000001310000002",
                                             "34020000001340000001"}));
    EXPECT_EQ(names, (std::vector<std::string>{"1号摄像机", "通道2 球机", "报警输入1"}));
    EXPECT_EQ(status, (std::vector<std::string>{"ON", "OFF", "ON"}));
    EXPECT_EQ(Utf8(list.ChildAt(1).FindText("Address")), "停车场入口");
    // The bytes stay GBK in the tree.
    EXPECT_STREQ(list.ChildAt(0).FindText("Name"), "1\xBA\xC5\xC9\xE3\xCF\xF1\xBB\xFA");
}

TEST(XmlBodies, RecordInfoItems) {
    XMLNode r = Root(ParseBody("recordinfo.xml"));
    EXPECT_STREQ(r.FindText("CmdType"), "RecordInfo");
    XMLNode list = r.ChildWithNum("RecordList");
    ASSERT_EQ(list.ChildCount(), 3);
    EXPECT_STREQ(list.AttributeValue("Num"), "3");
    EXPECT_STREQ(list.ChildAt(0).FindText("StartTime"), "2024-05-20T08:00:00");
    EXPECT_STREQ(list.ChildAt(2).FindText("EndTime"), "2024-05-20T10:16:40");
    EXPECT_STREQ(list.ChildAt(2).FindText("Type"), "alarm");
    EXPECT_STREQ(list.ChildAt(1).FindText("FilePath"), "/record/2024-05-20/ch01_090000.mp4");
    // "Name" of the response itself comes before the items' names.
    EXPECT_STREQ(r.FindText("Name"), "Camera 01");
}

TEST(XmlBodies, DeviceInfoStatusKeepaliveAlarm) {
    XMLNode info = Root(ParseBody("deviceinfo.xml"));
    EXPECT_STREQ(info.FindText("CmdType"), "DeviceInfo");
    EXPECT_STREQ(info.FindText("Manufacturer"), "Hikvision");
    EXPECT_STREQ(info.FindText("Firmware"), "V5.7.3 build 220112");
    EXPECT_STREQ(info.FindText("Channel"), "1");

    XMLNode st = Root(ParseBody("devicestatus.xml"));
    EXPECT_STREQ(st.FindText("CmdType"), "DeviceStatus");
    EXPECT_STREQ(st.FindText("Online"), "ONLINE");
    XMLNode alarms = st.ChildWithNum("AlarmStatus");
    ASSERT_EQ(alarms.ChildCount(), 2);
    EXPECT_STREQ(alarms.ChildAt(1).FindText("DutyStatus"), "ONDUTY");

    XMLNode keep = ParseBody("keepalive.xml");
    EXPECT_STREQ(Root(keep).Name(), "Notify");
    EXPECT_STREQ(keep.FindText("CmdType"), "Keepalive");
    EXPECT_STREQ(keep.FindText("Status"), "OK");

    XMLNode alarm = Root(ParseBody("alarm.xml"));
    EXPECT_STREQ(alarm.FindText("CmdType"), "Alarm");
    EXPECT_STREQ(alarm.FindText("AlarmMethod"), "5");
    EXPECT_EQ(Utf8(alarm.FindText("AlarmDescription")), "移动侦测报警");
    EXPECT_STREQ(alarm.ChildByName("Info").FindText("EventType"), "1");
}

TEST(XmlBodies, CdataAndComments) {
    XMLNode doc = ParseBody("cdata_comment.xml");
    ASSERT_STREQ(doc.Name(), "xml");
    // The comment before the document element is content of the declaration.
    EXPECT_EQ(doc.SectionCount(), 1);
    XMLNode r = doc.ChildAt(0);
    EXPECT_STREQ(r.Name(), "Response");
    EXPECT_STREQ(r.FindText("CmdType"), "ConfigDownload");
    // A comment inside a text joins the text.
    EXPECT_STREQ(r.FindText("Name"), "NVRLobby");
    EXPECT_STREQ(r.FindText("HeartBeatInterval"), "60");
    XMLNode d = r.ChildByName("Description");
    EXPECT_STREQ(d.FindText("Description"), "");
    ASSERT_EQ(d.SectionCount(), 1);
    EXPECT_STREQ(d.Section(0)->Content(), "firmware <b>4.1</b> & \"patch\" 2");
    EXPECT_STREQ(r.FindText("Vendor"), "Acme & Sons <CN>");
}

TEST(XmlBodies, WritingAndReadingAgainKeepsTheTree) {
    for (const char* name :
         {"catalog_gb2312.xml", "recordinfo.xml", "deviceinfo.xml", "devicestatus.xml",
          "keepalive.xml", "alarm.xml", "cdata_comment.xml"}) {
        XMLNode doc = ParseBody(name);
        const std::string text = doc.Serialize();
        int outcome = -1;
        XMLNode back = XMLNode::Parse(text, &outcome);
        EXPECT_EQ(outcome, XML_OK) << name;
        EXPECT_EQ(Dump(back), Dump(doc)) << name;
        EXPECT_EQ(back.Serialize(), text) << name;
    }
}

TEST(XmlBodies, KeepaliveIsWrittenInTheUsualLayout) {
    EXPECT_EQ(ParseBody("keepalive.xml").Serialize(),
              "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n"
              "<Notify>\r\n"
              " <CmdType>Keepalive</CmdType>\r\n"
              " <SN>2071</SN>\r\n"
              " <DeviceID>34020000001320000001</DeviceID>\r\n"
              " <Status>OK</Status>\r\n"
              "</Notify>\r\n");
}

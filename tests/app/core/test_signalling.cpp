// The core's signalling without a network: registration, the follow-up chain
// on a stepped clock, answers applied to the device that sent them, the message
// log, builds with the operator's inputs and the text encoding of operator text.

#include "app/core/CoreRig.h"
#include "app/core/TreeMirror.h"
#include "base/TextCodec.h"
#include "support/common/LocalTime.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

constexpr const char* kDev = "34010000001320000001";
constexpr const char* kDev2 = "34010000001320000002";

std::string Query(const char* cmd, int sn, const char* id) {
    return std::string("<?xml version=\"1.0\"?>\r\n<Query>\r\n <CmdType>") + cmd +
           "</CmdType>\r\n <SN>" + std::to_string(sn) + "</SN>\r\n <DeviceID>" + id +
           "</DeviceID>\r\n</Query>\r\n\r\n";
}

std::string Catalog(const std::string& sn, int sum, int first, int count, bool num = true,
                    const char* device = kDev) {
    std::string s = "<?xml version=\"1.0\"?>\r\n<Response>\r\n<CmdType>Catalog</CmdType>\r\n<SN>" +
                    sn + "</SN>\r\n<DeviceID>" + device + "</DeviceID>\r\n";
    if (sum >= 0) s += "<SumNum>" + std::to_string(sum) + "</SumNum>\r\n";
    s += num ? "<DeviceList Num=\"" + std::to_string(count) + "\">\r\n" : "<DeviceList>\r\n";
    for (int i = first; i < first + count; ++i) {
        char id[32];
        std::snprintf(id, sizeof id, "340100000013100%05d", i);
        s += std::string("<Item><DeviceID>") + id + "</DeviceID><IPAddress>10.0.0." +
             std::to_string(i % 250) + "</IPAddress><Port>" + std::to_string(70000 + i) +
             "</Port></Item>\r\n";
    }
    return s + "</DeviceList>\r\n</Response>\r\n";
}

std::string Records(const char* channel, int n) {
    std::string s = "<?xml version=\"1.0\"?>\r\n<Response><CmdType>RecordInfo</CmdType><SN>5</SN>"
                    "<RecordList Num=\"" + std::to_string(n) + "\">";
    for (int i = 0; i < n; ++i)
        s += std::string("<Item><DeviceID>") + channel + "</DeviceID><FilePath>/f" +
             std::to_string(i) + "</FilePath><StartTime>2024-05-06T10:00:00</StartTime>"
             "<EndTime>2024-05-06T11:10:0" + std::to_string(i) + "</EndTime></Item>";
    // One item of a channel the device does not have.
    s += "<Item><DeviceID>99999999999999999999</DeviceID><FilePath>/x</FilePath></Item>";
    return s + "</RecordList></Response>\r\n";
}

std::string CmdOf(const std::string& body) {
    const std::size_t p = body.find("<CmdType>");
    return p == std::string::npos ? "" : body.substr(p + 9, body.find("</CmdType>") - p - 9);
}

std::string Answer(const char* cmd) {
    return std::string("<?xml version=\"1.0\"?>\r\n<Response><CmdType>") + cmd +
           "</CmdType><SN>11</SN></Response>\r\n";
}

class Signalling : public ::testing::Test {
protected:
    void SetUp() override { rig.core->Initialise(); }
    void Register(const char* id, int port = 5060) {
        Log(kLogReceived, "REGISTER sip:x SIP/2.0\r\n\r\n\n", "No Body!\n", id,
            LoggedMessage::Role::Register);
        Log(kLogSent, "SIP/2.0 200 OK\r\n\r\n\n", "No Body!\n", id, LoggedMessage::Role::RegisterAnswer);
        rig.core->OnDeviceRegistered({id, "127.0.0.1", port});
    }
    void Log(int dir, const std::string& head, const std::string& body, const std::string& peer,
             LoggedMessage::Role role = LoggedMessage::Role::Plain) {
        LoggedMessage m;
        m.direction = dir;
        m.role = role;
        m.deviceId = role == LoggedMessage::Role::Plain ? "" : peer;
        m.peerUser = peer;
        m.head = head;
        m.body = body;
        rig.core->OnMessageLogged(m);
    }
    // A MESSAGE from a device and our 200 to it.
    void Receive(const std::string& body, const std::string& from = kDev) {
        Log(kLogReceived, "MESSAGE sip:p SIP/2.0\r\n\r\n\n", body, from);
        Log(kLogSent, "SIP/2.0 200 OK\r\n\r\n\n", "No Body!\n", from);
    }
    std::vector<TreeItem> Channels(const char* id) {
        for (const auto& d : rig.core->TreeSnapshot().children)
            if (d.text == id) return d.children;
        return {};
    }
    std::vector<std::string> Bodies() {
        std::vector<std::string> b;
        for (const auto& r : rig.Sent()) b.push_back(r.body);
        return b;
    }
    // The type text of the last received row.
    std::string ReceivedType() {
        auto rows = Rows();
        for (auto it = rows.rbegin(); it != rows.rend(); ++it)
            if (it->direction == kLogReceived) return it->typeText;
        return {};
    }
    std::vector<MessageLog::RowText> Rows() {
        std::vector<MessageLog::RowText> out(rig.core->Log().Size());
        for (std::size_t i = 0; i < out.size(); ++i) rig.core->Log().Row(i, out[i]);
        return out;
    }
    CoreRig rig;
};

} // namespace

TEST_F(Signalling, RegistrationAddsDeviceAndSendsCatalogOneSecondLater) {
    Register(kDev, 5070);
    rig.Advance(999);
    EXPECT_TRUE(rig.Sent().empty());
    rig.Advance(1);
    auto sent = rig.Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].kind, 1);
    EXPECT_EQ(sent[0].body, Query("Catalog", 10, kDev));
    EXPECT_EQ(sent[0].to.address, "127.0.0.1");
    EXPECT_EQ(sent[0].to.port, 5070);
    // The type text is the query's description, set when its body was built.
    EXPECT_EQ(rig.core->TypeText(), "目录查询\n");
    EXPECT_EQ(Rows().back().typeText, "目录查询\n");
    TreeItem t = rig.core->TreeSnapshot();
    EXPECT_EQ(t.text, "34020000002000000001");
    EXPECT_TRUE(t.expanded);
    ASSERT_EQ(t.children.size(), 1u);
    EXPECT_EQ(t.children[0].text, kDev);
    EXPECT_EQ(rig.view.lists[kListSignalling].size(), kSignallingRows);
    EXPECT_TRUE(rig.view.ticked.count({kListSignalling, kRowCatalog}));
    EXPECT_EQ(rig.view.messageText, sent[0].body);
}

TEST_F(Signalling, SameDeviceTwiceOneRecordTwoDevicesNeedASelection) {
    Register(kDev);
    EXPECT_EQ(*rig.core->CurrentDeviceId(), kDev); // the only one
    Register(kDev, 5070);
    Register(kDev2);
    rig.Advance(1000);
    EXPECT_EQ(rig.core->DeviceRecordCount(), 2u);
    TreeItem t = rig.core->TreeSnapshot();
    ASSERT_EQ(t.children.size(), 2u);
    EXPECT_EQ(t.children[1].text, kDev2);
    // Two devices and nothing selected: no guess.
    EXPECT_FALSE(rig.core->CurrentDeviceId().has_value());
    // A registration (again) starts its device's chain once; the refresh
    // moved the device to its new port.
    EXPECT_EQ(Bodies(), (std::vector<std::string>{Query("Catalog", 10, kDev), Query("Catalog", 11, kDev2)}));
    EXPECT_EQ(rig.Sent()[0].to.port, 5070);
    rig.core->ClickCommand(kListSignalling, 17, {});
    EXPECT_EQ(rig.Sent().size(), 2u);
    EXPECT_EQ(rig.view.messages.back(), "提示\r\n请先在设备树中选择设备或通道");
    rig.core->TreeClicked(t.children[0].item);
    EXPECT_EQ(*rig.core->CurrentDeviceId(), kDev);
}

TEST_F(Signalling, ChainCatalogInfoStatusOneSecondApartAndOnceOnly) {
    Register(kDev);
    rig.Advance(1000);
    Receive(Catalog("10", 2, 1, 2));
    rig.Advance(999);
    EXPECT_EQ(rig.Sent().size(), 1u);
    rig.Advance(1);
    ASSERT_EQ(rig.Sent().size(), 2u);
    EXPECT_EQ(rig.Sent()[1].body, Query("DeviceInfo", 11, kDev));
    EXPECT_EQ(rig.core->TypeText(), "信息查询\n"); // the description of the query
    Receive(Answer("DeviceInfo"));
    rig.Advance(1000);
    ASSERT_EQ(rig.Sent().size(), 3u);
    EXPECT_EQ(rig.Sent()[2].body, Query("DeviceStatus", 12, kDev));
    Receive(Answer("DeviceStatus"));
    // The rows of the answer and of our 200 to it say what they are.
    EXPECT_EQ(Rows()[Rows().size() - 2].typeText, "状态查询");
    EXPECT_EQ(Rows().back().typeText, "状态查询");
    // Answers again (a retransmission, an operator's query) start nothing more.
    Receive(Catalog("10", 2, 1, 2));
    Receive(Answer("DeviceInfo"));
    rig.Advance(5000);
    EXPECT_EQ(rig.Sent().size(), 3u);
    auto ch = Channels(kDev);
    ASSERT_EQ(ch.size(), 2u);
    EXPECT_EQ(ch[1].text, "34010000001310000002");
    EXPECT_EQ(ch[0].kind, kNodeChannel);
    std::vector<std::pair<std::string, int>> fields;
    rig.core->VisitDevices([&](const DeviceNode& d) {
        for (const auto& c : d.children) fields.push_back({c->address, c->port});
    });
    ASSERT_EQ(fields.size(), 2u);
    EXPECT_EQ(fields[0], (std::pair<std::string, int>{"10.0.0.1", 70001 & 0xFFFF})); // cut to 16 bits
}

TEST_F(Signalling, CatalogAnswersReplaceCollectOrAreIgnored) {
    Register(kDev);
    rig.Advance(1000);
    // In four messages of one SN: collected, one DeviceInfo when complete.
    for (int part = 0; part < 4; ++part) {
        Receive(Catalog("10", 40, part * 10 + 1, 10));
        rig.Advance(1000);
        EXPECT_EQ(rig.Sent().size(), part < 3 ? 1u : 2u) << part;
    }
    EXPECT_EQ(Channels(kDev).size(), 40u);
    // The same catalog again starts a new list rather than growing to 80.
    for (int part = 0; part < 4; ++part) Receive(Catalog("10", 40, part * 10 + 1, 10));
    EXPECT_EQ(Channels(kDev).size(), 40u);
    // Another SN replaces the channels; items of the old ones go.
    Receive(Catalog("11", 1, 7, 1));
    ASSERT_EQ(Channels(kDev).size(), 1u);
    EXPECT_EQ(Channels(kDev)[0].text, "34010000001310000007");
    // An empty list is ignored.
    Receive(Catalog("13", 0, 5, 0));
    EXPECT_EQ(Channels(kDev).size(), 1u);
    // Without the XML declaration: logged, not dispatched.
    const std::size_t rows = rig.core->Log().Size();
    std::string body = Catalog("14", 1, 3, 1);
    Receive(body.substr(body.find("<Response>")));
    EXPECT_EQ(Rows()[rows].body, body.substr(body.find("<Response>")));
    EXPECT_EQ(Channels(kDev)[0].text, "34010000001310000007");
    EXPECT_EQ(ReceivedType(), "目录查询");
}

TEST_F(Signalling, CatalogWithoutNumOrSumNumAsRealDevicesSendIt) {
    Register(kDev);
    rig.Advance(1000);
    // No Num on DeviceList: its items count. Two messages of one SN and SumNum.
    Receive(Catalog("10", 4, 1, 2, false));
    rig.Advance(1000);
    EXPECT_EQ(rig.Sent().size(), 1u); // two of four: no DeviceInfo yet
    Receive(Catalog("10", 4, 3, 2, false));
    rig.Advance(1000);
    ASSERT_EQ(rig.Sent().size(), 2u);
    EXPECT_EQ(CmdOf(rig.Sent()[1].body), "DeviceInfo");
    ASSERT_EQ(Channels(kDev).size(), 4u);
    EXPECT_EQ(Channels(kDev)[3].text, "34010000001310000004");
    // No SumNum: each message is a catalog by itself, replacing the last.
    Receive(Catalog("11", -1, 8, 3, false));
    Receive(Catalog("12", -1, 20, 2, false));
    ASSERT_EQ(Channels(kDev).size(), 2u);
    EXPECT_EQ(Channels(kDev)[0].text, "34010000001310000020");
}

TEST_F(Signalling, AnswersGoToTheDeviceThatSentThem) {
    Register(kDev, 5061);
    rig.Advance(1000); // Catalog 10 to the first
    Register(kDev2, 5062);
    rig.Advance(1000); // Catalog 11 to the second
    // The first device answers after the second registered.
    Receive(Catalog("10", 1, 1, 1), kDev);
    // Nobody's answer and one device's catalog of the other change nothing.
    Receive(Catalog("11", 1, 5, 1, true, kDev2), "3402000000");
    Receive(Catalog("11", 1, 6, 1, true, kDev2), kDev);
    EXPECT_TRUE(Channels(kDev2).empty());
    EXPECT_EQ(Channels(kDev).size(), 1u);
    Receive(Catalog("11", 1, 2, 1, true, kDev2), kDev2);
    rig.Advance(1000);
    Receive(Answer("DeviceInfo"), kDev);
    Receive(Answer("DeviceInfo"), kDev2);
    rig.Advance(1000);
    EXPECT_EQ(Channels(kDev).size(), 1u);
    EXPECT_EQ(Channels(kDev2).size(), 1u);
    EXPECT_EQ(Channels(kDev)[0].text, "34010000001310000001");
    int info[2] = {}, status[2] = {};
    for (const auto& r : rig.Sent()) {
        const int who = r.to.id == kDev ? 0 : 1;
        EXPECT_EQ(r.to.port, 5061 + who);
        EXPECT_NE(r.body.find(std::string("<DeviceID>") + r.to.id), std::string::npos) << r.body;
        info[who] += r.body.find("DeviceInfo") != std::string::npos;
        status[who] += r.body.find("DeviceStatus") != std::string::npos;
    }
    EXPECT_EQ(info[0], 1);
    EXPECT_EQ(info[1], 1);
    EXPECT_EQ(status[0], 1);
    EXPECT_EQ(status[1], 1);
    // Operator commands go to the device selected, or to the channel's device.
    rig.core->TreeClicked(Channels(kDev)[0].item);
    rig.core->ClickCommand(kListSignalling, 17, {});
    EXPECT_EQ(rig.Sent().back().to.id, kDev);
    EXPECT_EQ(rig.Sent().back().to.port, 5061);
    EXPECT_NE(rig.Sent().back().body.find(std::string("<DeviceID>") + kDev), std::string::npos);
    rig.core->TreeClicked(Channels(kDev2)[0].item);
    rig.core->ClickCommand(kListSignalling, 12, {}); // 预置位查询 names the channel
    EXPECT_EQ(rig.Sent().back().to.id, kDev2);
    EXPECT_NE(rig.Sent().back().body.find("<DeviceID>34010000001310000002"), std::string::npos);
}

TEST_F(Signalling, KeepaliveAndOddBodiesChangeOnlyTheTypeText) {
    Register(kDev);
    rig.Advance(1000);
    const int changes = rig.view.treeChanged;
    const std::string typed = rig.core->TypeText();
    Receive("<?xml version=\"1.0\"?>\r\n<Notify><CmdType>Keepalive</CmdType><SN>3</SN></Notify>\r\n");
    EXPECT_EQ(ReceivedType(), "心跳包");
    EXPECT_EQ(Rows().back().typeText, "心跳包"); // our 200 with it
    EXPECT_EQ(rig.view.treeChanged, changes);
    // Lower case matches no command: the row says what the body says.
    Receive("<?xml version=\"1.0\"?>\r\n<Response><CmdType>catalog</CmdType>"
            "<DeviceList Num=\"1\"><Item><DeviceID>1</DeviceID></Item></DeviceList></Response>\r\n");
    EXPECT_EQ(ReceivedType(), "catalog");
    std::string deep;
    for (int i = 0; i < 5000; ++i) deep += "<a>";
    for (const std::string& body :
         {std::string("No Body!\n"), std::string(), std::string("<Response><SN>1</SN></Response>"),
          std::string("<?xml version=\"1.0\"?><Response><CmdType>Cat&zz;</CmdType></Response>"),
          std::string("<<<>>>"), std::string("<?xml version=\"1.0\"?>\r\n<Response></Response>"), deep})
        Receive(body);
    EXPECT_EQ(ReceivedType(), "MESSAGE"); // no command: the method
    // An unclosed element is tolerated: the Catalog without a list is rejected.
    Receive("<?xml version=\"1.0\"?><Response><CmdType>Catalog</Response>");
    EXPECT_EQ(ReceivedType(), "目录查询");
    // What the operator built last is never changed by what arrives.
    EXPECT_EQ(rig.core->TypeText(), typed);
    rig.Advance(5000);
    EXPECT_EQ(rig.Sent().size(), 1u);
    EXPECT_TRUE(Channels(kDev).empty());
}

TEST_F(Signalling, RecordInfoAddsRecordingsRepeatAddsNodesNotItems) {
    Register(kDev);
    rig.Advance(1000);
    Receive(Catalog("10", 2, 1, 2));
    Receive(Records("34010000001310000002", 3));
    EXPECT_EQ(ReceivedType(), "文件检索");
    EXPECT_EQ(Channels(kDev)[1].children.size(), 3u);
    Receive(Records("34010000001310000002", 3));
    EXPECT_EQ(Channels(kDev)[0].children.size(), 0u);
    EXPECT_EQ(Channels(kDev)[1].children.size(), 3u);
    std::size_t nodes = 0;
    rig.core->VisitDevices([&](const DeviceNode& d) {
        for (const auto& c : d.children) nodes += c->children.size();
    });
    EXPECT_EQ(nodes, 6u);
}

TEST_F(Signalling, TreeClicksByNodeKind) {
    Register(kDev);
    rig.Advance(1000);
    Receive(Catalog("10", 1, 1, 1));
    Receive(Records("34010000001310000001", 2));
    TreeItem t = rig.core->TreeSnapshot();
    const TreeItem& dev = t.children[0];
    const TreeItem& ch = dev.children[0];
    const TreeItem& rec = ch.children[1];
    rig.core->TreeClicked(ch.item);
    EXPECT_EQ(rig.core->MediaSetNumber(), 0);
    EXPECT_EQ(rig.view.lists[kListMedia].size(), 6u);
    rig.core->ClickCommand(kListMedia, 0, {}); // 实时点播: the live view opens
    rig.core->OnCallAnswered(100, 9, "v=0\r\n");
    rig.core->TreeClicked(ch.item);
    EXPECT_EQ(rig.view.lists[kListMedia].size(), 17u);
    // A recording: its length, the progress text; the live view ends.
    rig.core->TreeClicked(rec.item);
    EXPECT_EQ(rig.core->Media().playbackSeconds, 4201); // 10:00:00 to 11:10:01
    EXPECT_FALSE(rig.core->Media().livePlaying);
    EXPECT_EQ(rig.sip->ended, (std::vector<std::pair<int, int>>{{100, 9}}));
    EXPECT_EQ(rig.view.progressText, "00:00:00/01:10:01");
    EXPECT_EQ(rig.view.progressRange, 4201);
    EXPECT_EQ(rig.view.lists[kListMedia].size(), 2u);
    rig.core->ClickCommand(kListMedia, 1, {}); // 文件回放: set 3
    rig.core->TreeClicked(ch.item);
    EXPECT_EQ(rig.view.lists[kListMedia].size(), 6u);
    rig.core->TreeClicked(rec.item);
    EXPECT_EQ(rig.view.lists[kListMedia].size(), 9u);
    rig.view.lists.clear();
    rig.core->TreeClicked(t.item); // the root does nothing
    rig.core->TreeClicked(123456);
    EXPECT_TRUE(rig.view.lists.empty());
    rig.core->TreeClicked(dev.item);
    EXPECT_EQ(rig.view.lists[kListSignalling].size(), kSignallingRows);
}

TEST_F(Signalling, LogRowsKeepOrderTypeTextsAndDevices) {
    using testsupport::Local;
    CTarvexCore::Parts p;
    auto sip = std::make_shared<SipLog>();
    p.settings = std::make_unique<CDlgCfg>(std::make_unique<MemoryStore>(std::make_shared<MemoryStore::Data>()));
    p.sip = std::make_unique<FakeEndpoint>(sip);
    p.searchIni = "/dev/null";
    p.wallClock = [] { return Local(2017, 6, 1, 9, 30, 5, 42); };
    p.timerThread = false;
    rig.core = std::make_unique<CTarvexCore>(std::move(p));
    // A keepalive of a device that is not registered is logged under its
    // sender; the endpoint refuses it (AdmitRequest, answer status 403).
    EXPECT_EQ(rig.core->AdmitRequest({"MESSAGE", kDev, "", 0, nullptr}), 403);
    Receive("<?xml version=\"1.0\"?><Notify><CmdType>Keepalive</CmdType></Notify>");
    ASSERT_EQ(rig.core->Log().Size(), 2u);
    EXPECT_EQ(Rows()[0].deviceId, kDev);
    EXPECT_EQ(Rows()[0].typeText, "心跳包");
    Register("34010000001320000009");
    Register(kDev);
    Receive(Catalog("10", 1, 1, 1));
    auto rows = Rows();
    ASSERT_EQ(rows.size(), 8u);
    EXPECT_EQ(rows[2].deviceId, "34010000001320000009");
    EXPECT_EQ(rows[2].typeText, "注册信息");
    EXPECT_EQ(rows[2].time, "2017-06-01T09:30:05.042");
    EXPECT_EQ(rows[2].ListTime(), "09:30:05.042");
    EXPECT_EQ(rows[4].deviceId, kDev); // the new device's REGISTER
    // Each row is filed under its own sender with its own type.
    EXPECT_EQ(rows[6].typeText, "目录查询");
    EXPECT_EQ(rows[7].typeText, "目录查询");
    EXPECT_EQ(rows[6].deviceId, kDev);
    EXPECT_EQ(rows[6].body, Catalog("10", 1, 1, 1));
    EXPECT_EQ(rows[7].head, "SIP/2.0 200 OK\r\n\r\n\n");
    rows.erase(rows.begin(), rows.begin() + 2);
    // The workbook's rows: one direction each, oldest first.
    using tarvex::xls::LogDirection;
    EXPECT_EQ(rig.core->Log().RowCount(LogDirection::Received), 4u);
    EXPECT_EQ(rig.core->Log().RowCount(LogDirection::Sent), 4u);
    std::vector<std::string> sent;
    rig.core->Log().ForEachRow(LogDirection::Sent, [&](const tarvex::xls::LogRowRef& r) {
        sent.push_back(std::string(r.time) + "|" + std::string(r.typeText) + "|" +
                       std::string(r.deviceId) + "|" + std::string(r.head.substr(0, 6)));
    });
    EXPECT_EQ(sent, (std::vector<std::string>{
                        "2017-06-01T09:30:05.042|心跳包|34010000001320000001|SIP/2.",
                        "2017-06-01T09:30:05.042|注册信息|34010000001320000009|SIP/2.",
                        "2017-06-01T09:30:05.042|注册信息|34010000001320000001|SIP/2.",
                        "2017-06-01T09:30:05.042|目录查询|34010000001320000001|SIP/2."}));
    // Far below the 2 KB a row may cost beyond its message's bytes.
    EXPECT_LT(rig.core->Log().OverheadBytes(), 6u * 256u);
}

TEST_F(Signalling, BodiesDecodedForDisplayAndDoubleClicks) {
    Register(kDev);
    std::string gb = "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<Notify><CmdType>Keepalive"
                     "</CmdType><Name>" +
                     TextCodec::Utf8ToGbk("前门摄像机") + "</Name></Notify>\r\n";
    Log(kLogReceived, "MESSAGE sip:x SIP/2.0\r\n\r\n\n", gb, kDev);
    Log(kLogSent, "SIP/2.0 200 OK\r\nX: 1\r\n\r\n\n", "No Body!\n", kDev);
    EXPECT_EQ(Rows()[2].body, gb); // kept as received
    EXPECT_TRUE(rig.core->Log().RowContains(2, "前门摄像机"));
    EXPECT_TRUE(rig.core->Log().RowContains(3, "X: 1"));
    EXPECT_FALSE(rig.core->Log().RowContains(3, "前门"));
    struct Case {
        int row, column;
        CTarvexCore::Viewer viewer;
        std::string text;
    } cases[] = {
        {2, 3, CTarvexCore::Viewer::Xml, gb},
        {3, 3, CTarvexCore::Viewer::Text, "No Body!\n"},
        {3, 4, CTarvexCore::Viewer::Text, "SIP/2.0 200 OK\r\nX: 1\r\n\r\n\n"},
        {3, 2, CTarvexCore::Viewer::None, ""},
        {7, 3, CTarvexCore::Viewer::None, ""},
    };
    for (const Case& c : cases) {
        auto v = rig.core->LogDoubleClicked(c.row, c.column);
        EXPECT_EQ(v.viewer, c.viewer) << c.row << " " << c.column;
        EXPECT_EQ(v.text, c.text) << c.row << " " << c.column;
    }
}

TEST_F(Signalling, OperatorTextGoesOutInTheEncodingItsBodyDeclares) {
    Register(kDev);
    OperatorInputs in;
    in.customMode = true;
    rig.core->ClickCommand(kListSignalling, 7, in); // held: the kind to send with
    struct Case {
        const char* declaration;
        std::string bytes; // of 前门
    } cases[] = {
        {" encoding=\"GB2312\"", "\xC7\xB0\xC3\xC5"}, {" encoding=\"gbk\"", "\xC7\xB0\xC3\xC5"},
        {" encoding=\"GB18030\"", "\xC7\xB0\xC3\xC5"}, {" encoding=\"UTF-8\"", "前门"},
        {"", "前门"},
    };
    for (const Case& c : cases) {
        in.customText = std::string("<?xml version=\"1.0\"") + c.declaration +
                        "?>\r\n<Control><Name>前门</Name></Control>\r\n";
        ASSERT_EQ(rig.core->PressSend(in), 0);
        const std::string body = rig.Sent().back().body;
        EXPECT_NE(body.find("<Name>" + c.bytes + "</Name>"), std::string::npos) << c.declaration;
        // The log keeps what was sent and shows it decoded.
        EXPECT_EQ(Rows().back().body, body);
        EXPECT_TRUE(rig.core->Log().RowContains(rig.core->Log().Size() - 1, "前门"));
    }
    // Bodies that Tarvex builds with Chinese text carry GB18030 bytes (GBK's
    // for these characters), declared GB18030 under 国标版本 2022 (the
    // default) and GB2312 under 2016; the log shows them decoded.
    in = {};
    in.presetName = "前门";
    Receive(Catalog("10", 1, 1, 1));
    rig.core->TreeClicked(Channels(kDev)[0].item);
    rig.core->ClickCommand(kListMedia, 0, in); // the live view opens: set 1
    const std::pair<const char*, const char*> editions[] = {
        {"", "GB18030"}, {"2022", "GB18030"}, {"2016", "GB2312"}};
    for (const auto& [edition, declared] : editions) {
        rig.core->Settings().gbEdition = edition;
        rig.core->ClickCommand(kListMedia, 12, in);
        const std::string preset = rig.Sent().back().body;
        EXPECT_EQ(preset.rfind(std::string("<?xml version=\"1.0\" encoding=\"") + declared +
                                   "\"?>\r\n",
                               0),
                  0u)
            << preset;
        EXPECT_NE(preset.find("<Name>" + TextCodec::Utf8ToGbk("前门") + "</Name>"), std::string::npos) << preset;
        EXPECT_EQ(preset.find("前门"), std::string::npos);
        EXPECT_TRUE(rig.core->Log().RowContains(rig.core->Log().Size() - 1, "前门"));
    }
    // An ASCII name keeps the plain declaration, byte for byte as before.
    in.presetName = "door";
    rig.core->ClickCommand(kListMedia, 12, in);
    EXPECT_EQ(rig.Sent().back().body.rfind("<?xml version=\"1.0\"?>\r\n", 0), 0u);
}

TEST_F(Signalling, OperatorClickDuringAChainPauseGoesAtOnceAndSnsRise) {
    Register(kDev);
    rig.Advance(1000);
    Receive(Catalog("10", 1, 1, 1));
    rig.Advance(400);
    rig.core->ClickCommand(kListSignalling, 17, {}); // 时间查询, at once
    ASSERT_EQ(rig.Sent().size(), 2u);
    EXPECT_EQ(rig.Sent()[1].body, Query("TimeInfo", 11, kDev));
    EXPECT_EQ(*rig.core->NextDue() - rig.now, std::chrono::milliseconds(600));
    rig.Advance(600);
    ASSERT_EQ(rig.Sent().size(), 3u);
    EXPECT_EQ(rig.Sent()[2].body, Query("DeviceInfo", 12, kDev));
    // The chain's build ticks its row like a click.
    EXPECT_EQ(rig.view.ticked, (std::set<std::pair<int, int>>{{kListSignalling, kRowDeviceInfo}}));
}

TEST_F(Signalling, CustomModeHoldsBuildsAndSendGoesWithTheLastKind) {
    OperatorInputs in;
    in.customMode = true;
    in.customText = "x";
    EXPECT_EQ(rig.core->PressSend(in), -1); // no device: the box, nothing sent
    EXPECT_EQ(rig.view.messages, std::vector<std::string>{"提示\r\n设备未注册到服务器"});
    rig.core->ClickCommand(kListSignalling, 0, in); // nothing is built before a registration
    EXPECT_EQ(rig.core->NextSequenceNumber(), 10);
    Register(kDev);
    rig.core->SetInputs(in);
    rig.view.messageText = "the operator's edit";
    rig.Advance(1000); // the chain's Catalog goes out and leaves the edited text alone
    ASSERT_EQ(rig.Sent().size(), 1u);
    EXPECT_EQ(rig.Sent()[0].body, Query("Catalog", 10, kDev));
    EXPECT_EQ(rig.view.messageText, "the operator's edit");
    rig.core->ClickCommand(kListSignalling, 39, in); // kind 7, SN 11, held
    EXPECT_EQ(rig.core->NextSequenceNumber(), 12);
    in.customText = "edited";
    EXPECT_EQ(rig.core->PressSend(in), 0);
    ASSERT_EQ(rig.Sent().size(), 2u);
    EXPECT_EQ(rig.Sent()[1].kind, 7);
    EXPECT_EQ(rig.Sent()[1].body, "edited");
    in.customMode = false;
    EXPECT_EQ(rig.core->PressSend(in), 1);
    EXPECT_EQ(rig.Sent().size(), 2u);
}

TEST_F(Signalling, OperatorInputsFeedTheBodies) {
    Register(kDev);
    rig.Advance(1000);
    Receive(Catalog("10", 1, 1, 1));
    rig.core->TreeClicked(Channels(kDev)[0].item);
    rig.core->ClickCommand(kListMedia, 0, {}); // the live view opens: set 1
    rig.core->SpeedFromEdit(192);
    OperatorInputs in;
    in.speed = "192";
    in.presetNumber = "7";
    in.presetName = "door";
    in.viewWidth = 704;
    in.viewHeight = 576;
    auto last = [&] { return rig.Sent().back().body; };
    rig.core->ClickCommand(kListMedia, 1, in);
    EXPECT_NE(last().find("<PTZCmd>A50F0108C000007D</PTZCmd>"), std::string::npos);
    rig.core->ClickCommand(kListMedia, 13, in);
    EXPECT_NE(last().find("<PTZCmd>A50F00820007003D</PTZCmd>\r\n <Info>\r\n  "
                          "<ControlPriority>5</ControlPriority>\r\n  <Name>door</Name>"),
              std::string::npos);
    // Out of range: the standard message, and the last accepted number is used.
    in.presetNumber = "300";
    rig.core->ClickCommand(kListMedia, 12, in);
    EXPECT_NE(last().find("<PTZCmd>A50F00810007003C</PTZCmd>"), std::string::npos);
    ASSERT_EQ(rig.view.messages.size(), 1u);
    EXPECT_NE(rig.view.messages[0].find("255"), std::string::npos);
    // A drag released inside the view sends drag zoom; outside it is only kept.
    const std::size_t before = rig.Sent().size();
    in.drag = {100, 50, 300, 150};
    rig.core->VideoDragged(in);
    ASSERT_EQ(rig.Sent().size(), before + 1);
    EXPECT_NE(last().find(" <DragZoomIn>\r\n  <Length>576</Length>\r\n  <Width>704</Width>\r\n"
                          "  <MidPointX>200</MidPointX>\r\n  <MidPointY>100</MidPointY>\r\n"
                          "  <LengthX>200</LengthX>\r\n  <LengthY>100</LengthY>\r\n </DragZoomIn>"),
              std::string::npos);
    EXPECT_TRUE(rig.view.ticked.count({kListMedia, kRowDragZoomIn}));
    in.drag = {300, 150, 100, 50};
    rig.core->VideoDragged(in);
    EXPECT_NE(last().find("</DragZoomOut>"), std::string::npos);
    in.drag = {10, 10, 754, 20};
    rig.core->VideoDragged(in);
    EXPECT_EQ(rig.Sent().size(), before + 2);
    rig.core->ClickCommand(kListMedia, 15, in);
    EXPECT_NE(last().find("<LengthX>744</LengthX>"), std::string::npos);
    // A preset name too long for the buffer is refused with a message.
    in.presetName = std::string(3000, 'x');
    rig.core->ClickCommand(kListMedia, 12, in);
    EXPECT_EQ(rig.Sent().size(), before + 3);
    EXPECT_NE(rig.view.messages.back().find("2048"), std::string::npos);
    // DeviceConfig takes the settings, or the defaults of empty ones.
    rig.core->ClickCommand(kListSignalling, 7, in);
    EXPECT_NE(last().find("<Expiration>3600</Expiration>\r\n  <HeartBeatInterval>60</HeartBeatInterval>"),
              std::string::npos);
    rig.core->Settings().registrationTime = 1800;
    rig.core->Settings().heartbeatPeriod = 30;
    rig.core->ClickCommand(kListSignalling, 7, in);
    EXPECT_NE(last().find("<Expiration>1800</Expiration>\r\n  <HeartBeatInterval>30</HeartBeatInterval>"),
              std::string::npos);
}

TEST_F(Signalling, CallsAnsweredAndClosed) {
    Register(kDev);
    OperatorInputs in;
    in.customMode = true;
    rig.core->TreeClicked(rig.core->TreeSnapshot().children[0].item);
    rig.core->ClickCommand(kListMedia, 0, in); // the live offer is shown and held
    EXPECT_TRUE(rig.Sent().empty());
    EXPECT_EQ(rig.view.messageText.rfind("v=0\r\no=" + std::string(kDev) + " 0 0 IN IP4 ", 0), 0u);
    in.customText = "v=0\r\n";
    ASSERT_EQ(rig.core->PressSend(in), 0);
    EXPECT_EQ(rig.Sent().back().kind, 5);
    EXPECT_EQ(rig.core->LastInviteCallId(), 100);
    rig.core->OnCallAnswered(100, 4, "v=0\r\no=dev\r\n");
    // The device's BYE: nothing is left to end at the way out.
    rig.core->OnCallClosed(100, 4);
    rig.core->Stop();
    EXPECT_TRUE(rig.sip->ended.empty());
}

TEST_F(Signalling, BuildsFromTwoThreadsGoOutWholeWithRisingSns) {
    Register(kDev);
    auto run = [this] {
        for (int i = 0; i < 200; ++i) rig.core->ClickCommand(kListSignalling, i % 3, {});
    };
    std::thread a(run), b(run);
    a.join();
    b.join();
    const auto sent = rig.Sent();
    ASSERT_EQ(sent.size(), 400u);
    int last = 9;
    for (const auto& s : sent) {
        // Every text is whole (one declaration, one root) and takes the next number.
        EXPECT_EQ(s.body.rfind("<?xml", 0), 0u);
        EXPECT_EQ(s.body.find("<?xml", 1), std::string::npos);
        const int sn = std::stoi(s.body.substr(s.body.find("<SN>") + 4));
        EXPECT_EQ(sn, last + 1);
        last = sn;
    }
}

TEST_F(Signalling, LongIdentifiersAreCutAndStillFindTheirDevice) {
    const std::string longId = std::string(kDev) + std::string(40, '9'); // 60 characters
    Register(longId.c_str());
    rig.Advance(1000);
    Receive(Catalog("10", 1, 1, 1, true, longId.c_str()), longId);
    const std::string cut = longId.substr(0, 31);
    EXPECT_EQ(Rows()[0].deviceId, cut);
    EXPECT_EQ(rig.Sent()[0].to.id, cut);
    ASSERT_EQ(Channels(cut.c_str()).size(), 1u);
    rig.Advance(1000);
    EXPECT_EQ(rig.Sent().size(), 2u); // its chain goes on
}

TEST_F(Signalling, TenThousandChannelsInAThousandMessagesInOrderOnceEach) {
    Register(kDev);
    rig.Advance(1000);
    TreeMirror view;
    ASSERT_TRUE(view.Apply(rig.core->TakeTreeDelta()));
    int incremental = 0;
    for (int m = 0; m < 1000; ++m) {
        Receive(Catalog("10", 10000, m * 10 + 1, 10));
        if (m % 50 == 49) {
            // The view takes what changed since its last redraw.
            const TreeDelta d = rig.core->TakeTreeDelta();
            incremental += !d.full;
            ASSERT_TRUE(view.Apply(d)) << m;
        }
    }
    rig.Advance(1000);
    ASSERT_EQ(rig.Sent().size(), 2u); // DeviceInfo once, after the last message
    EXPECT_EQ(CmdOf(rig.Sent()[1].body), "DeviceInfo");
    const std::vector<TreeItem> ch = Channels(kDev);
    ASSERT_EQ(ch.size(), 10000u);
    std::set<int> items;
    for (int i = 0; i < 10000; ++i) {
        char id[32];
        std::snprintf(id, sizeof id, "340100000013100%05d", i + 1);
        ASSERT_EQ(ch[i].text, id) << i;
        EXPECT_EQ(ch[i].kind, kNodeChannel);
        items.insert(ch[i].item);
    }
    EXPECT_EQ(items.size(), 10000u);
    EXPECT_EQ(incremental, 20);
    EXPECT_TRUE(SameTree(view.Snapshot(), rig.core->TreeSnapshot()));
}

TEST_F(Signalling, TreeDeltasFollowEveryKindOfChange) {
    TreeMirror view;
    auto check = [&](const char* step, bool expectIncremental) {
        const TreeDelta d = rig.core->TakeTreeDelta();
        EXPECT_EQ(!d.full, expectIncremental) << step;
        ASSERT_TRUE(view.Apply(d)) << step;
        EXPECT_TRUE(SameTree(view.Snapshot(), rig.core->TreeSnapshot())) << step;
    };
    check("start", false);
    Register(kDev);
    check("register", true);
    Receive(Catalog("10", 3, 1, 3));
    check("catalog", true);
    Receive(Records("34010000001310000002", 2));
    check("recordings", true);
    Register(kDev); // registered again: the same record, its catalog replaces the channels
    Receive(Catalog("11", 2, 3, 2));
    check("catalog after a new registration", true);
    ASSERT_EQ(Channels(kDev).size(), 2u);
    Register(kDev2);
    Receive(Catalog("12", 1, 9, 1, true, kDev2), kDev2);
    Receive(Catalog("13", 1, 10, 1, true, kDev2), kDev2); // replaces: the item of 9 goes
    check("second device", true);
    ASSERT_EQ(Channels(kDev2).size(), 1u);
    EXPECT_EQ(Channels(kDev2)[0].text, "34010000001310000010");
    // A new local identifier: a new root; the records come back with the next change.
    auto texts = rig.core->Settings().Texts();
    texts[static_cast<int>(CfgField::LocalId)] = "34020000002000000077";
    ASSERT_TRUE(rig.core->Settings().Accept(texts, nullptr, nullptr));
    rig.core->SettingsAccepted();
    check("reset", false);
    EXPECT_TRUE(rig.core->TreeSnapshot().children.empty());
    Receive(Catalog("14", 1, 11, 1, true, kDev2), kDev2);
    check("after reset", false);
    EXPECT_EQ(rig.core->TreeSnapshot().children.size(), 2u);
    // A click finds its node by the new items.
    rig.core->TreeClicked(Channels(kDev)[0].item);
    EXPECT_EQ(rig.view.lists[kListMedia].size(), 6u);
}

TEST_F(Signalling, LongerDatagramBodyUsedOnlyWhenTheDeclaredCutIsUnreadable) {
    Register(kDev);
    rig.Advance(1000);
    const std::string whole = Catalog("10", 1, 1, 1);
    struct Case {
        std::string declared, datagram;
        bool wholeUsed;
    } cases[] = {
        {whole.substr(0, whole.size() - 40), whole, true},     // cut inside the XML
        {whole, whole + "trailing garbage", false},            // the declared body is whole
        {whole.substr(0, 60), whole.substr(0, 90), false},     // neither is readable
        {whole.substr(0, whole.size() - 40), "", false},       // not from one datagram
    };
    for (const Case& c : cases) {
        LoggedMessage m;
        m.direction = kLogReceived;
        m.peerUser = kDev;
        m.head = "MESSAGE sip:p SIP/2.0\r\n\r\n\n";
        m.body = c.declared;
        m.datagramBody = c.datagram;
        testing::internal::CaptureStderr();
        rig.core->OnMessageLogged(m);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(Rows().back().body, c.wholeUsed ? c.datagram : c.declared);
        if (c.wholeUsed) {
            // One line naming the device and both lengths.
            EXPECT_EQ(err, "tarvex: MESSAGE from " + std::string(kDev) + ": Content-Length " +
                               std::to_string(c.declared.size()) +
                               " cuts its XML; the whole datagram body of " +
                               std::to_string(c.datagram.size()) + " bytes is used\n");
        } else {
            EXPECT_EQ(err, "");
        }
    }
    // The whole body was dispatched: its channel is there and the chain went on.
    EXPECT_EQ(Channels(kDev).size(), 1u);
    rig.Advance(1000);
    EXPECT_EQ(rig.Sent().size(), 2u);
}

TEST_F(Signalling, BeforeARegistrationAClickChangesNothing) {
    OperatorInputs in;
    in.presetNumber = "300"; // would be reported by a media-list build
    for (int list : {kListSignalling, kListMedia}) rig.core->ClickCommand(list, 0, in);
    EXPECT_TRUE(rig.view.ticked.empty());
    EXPECT_TRUE(rig.view.messages.empty());
    EXPECT_EQ(rig.view.messageText, "");
    EXPECT_EQ(rig.core->NextSequenceNumber(), 10);
    EXPECT_EQ(rig.core->TypeText(), "");
    // A build held in custom mode still sets the description.
    Register(kDev);
    in = {};
    in.customMode = true;
    rig.core->ClickCommand(kListSignalling, 17, in);
    EXPECT_TRUE(rig.Sent().empty());
    EXPECT_EQ(rig.core->TypeText(), "时间查询\n");
}

TEST(InputBoxes, StandardMessagesForTheirRanges) {
    struct Case {
        int control;
        const char* text;
        const char* message;
    } cases[] = {
        {1058, "254", ""},
        {1058, "255", "请输入一个介于 0 和 254 之间的整数。"},
        {1058, "-1", "请输入一个介于 0 和 254 之间的整数。"},
        {1058, "99999999999", "请输入一个整数。"},
        {1065, "255", ""},
        {1065, "256", "请输入一个介于 0 和 255 之间的整数。"},
        {1104, "0", ""},
        {1104, "1000", "请输入一个介于 0 和 255 之间的整数。"},
        {1104, "x1", "请输入一个整数。"},
        {1065, "", "请输入一个整数。"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CTarvexCore::InputBoxMessage(c.control, c.text), c.message) << c.control << " " << c.text;
}

TEST_F(Signalling, ExpiresZeroEndsTheDevicesCallsAndNothingElse) {
    Register(kDev, 5061);
    Register(kDev2, 5062);
    rig.Advance(1000);
    Receive(Catalog("10", 1, 1, 1), kDev);
    Receive(Catalog("11", 1, 2, 1, true, kDev2), kDev2);
    // A live view of a channel of each device, both open at once.
    rig.core->TreeClicked(Channels(kDev)[0].item);
    rig.core->ClickCommand(kListMedia, 0, {});
    EXPECT_EQ(rig.Sent().back().to.id, "34010000001310000001");
    EXPECT_EQ(rig.Sent().back().to.port, 5061);
    const int first = rig.core->LastInviteCallId();
    rig.core->OnCallAnswered(first, 7, "v=0\r\n");
    rig.core->TreeClicked(Channels(kDev2)[0].item);
    rig.core->ClickCommand(kListSignalling, 17, {}); // a query of the other device meanwhile
    EXPECT_EQ(rig.Sent().back().to.id, kDev2);
    EXPECT_EQ(rig.Sent().back().to.port, 5062);
    const std::size_t sent = rig.Sent().size();
    rig.core->OnDeviceUnregistered(kDev);
    EXPECT_TRUE(rig.core->DeviceOffline(kDev));
    EXPECT_FALSE(rig.core->DeviceOffline(kDev2));
    EXPECT_EQ(rig.sip->ended, (std::vector<std::pair<int, int>>{{first, 7}}));
    // No chain for a device that left (the other's goes on); its requests
    // are refused from now.
    rig.Advance(5000);
    for (std::size_t i = sent; i < rig.Sent().size(); ++i) EXPECT_EQ(rig.Sent()[i].to.id, kDev2);
    EXPECT_EQ(rig.core->AdmitRequest({"MESSAGE", kDev, "", 0, nullptr}), 403);
    EXPECT_EQ(rig.core->AdmitRequest({"MESSAGE", kDev2, "", 0, nullptr}), 200);
    // Registered again: online, its chain once more.
    Register(kDev, 5061);
    EXPECT_FALSE(rig.core->DeviceOffline(kDev));
    rig.Advance(1000);
    EXPECT_EQ(CmdOf(rig.Sent().back().body), "Catalog");
}

namespace {

// The version each device's REGISTER declared, as the tree's tooltip names it.
TEST_F(Signalling, DeviceTooltipsNameTheVersionTheirRegisterDeclared) {
    struct Row {
        const char* id;
        const char* headLine; // "" for none
        const char* tip;
    } rows[] = {{"34010000001320000011", "X-GB-Ver: 3.0\r\n", "X-GB-Ver 3.0 (2022)"},
                {"34010000001320000012", "x-gb-ver:2.0\r\n", "X-GB-Ver 2.0 (2016)"},
                {"34010000001320000013", "", "X-GB-Ver: 无"}};
    for (const Row& r : rows) {
        Log(kLogReceived, std::string("REGISTER sip:x SIP/2.0\r\n") + r.headLine + "\r\n\n", "No Body!\n",
            r.id, LoggedMessage::Role::Register);
        rig.core->OnDeviceRegistered({r.id, "127.0.0.1", 5060});
    }
    std::map<int, std::string> tips;
    for (const auto& [item, tip] : rig.core->DeviceVersionTips()) tips[item] = tip;
    ASSERT_EQ(tips.size(), 3u);
    for (const Row& r : rows) {
        int item = 0;
        for (const auto& d : rig.core->TreeSnapshot().children)
            if (d.text == r.id) item = d.item;
        ASSERT_NE(item, 0) << r.id;
        EXPECT_EQ(tips[item], r.tip) << r.id;
    }
}

} // namespace

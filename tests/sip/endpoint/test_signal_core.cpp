// The signalling core without a network: registration, dispatch of received
// bodies into the device tree, the automatic query chain, the message log and
// clicks in the tree, against a recording view.

#include "FakeView.h"
#include "base/TextCodec.h"
#include "sip/endpoint/SignalCore.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>

namespace {

using Clock = std::chrono::steady_clock;

struct SentQuery {
    int kind;
    std::string text;
    Clock::time_point at;
};

std::string Query(const char* cmd, int sn, const char* id) {
    return std::string("<?xml version=\"1.0\"?>\r\n<Query>\r\n <CmdType>") + cmd +
           "</CmdType>\r\n <SN>" + std::to_string(sn) + "</SN>\r\n <DeviceID>" + id +
           "</DeviceID>\r\n</Query>\r\n\r\n";
}

std::string Catalog(const std::string& sn, int sum, int first, int count, bool num = true) {
    std::string s = "<?xml version=\"1.0\"?>\r\n<Response>\r\n<CmdType>Catalog</CmdType>\r\n<SN>" +
                    sn + "</SN>\r\n<DeviceID>34010000001320000001</DeviceID>\r\n";
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

class CoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        core.SetView(&view);
        core.ResetTree("34020000002000000001");
        CommandBuilder::Hooks h;
        h.deviceId = [this] { return core.CurrentDeviceId(); };
        h.setTypeText = [this](const std::string& t) { core.SetTypeText(t); };
        h.send = [this](int kind, const std::string& text) {
            std::lock_guard<std::mutex> lk(m);
            sent.push_back({kind, text, Clock::now()});
            return 0;
        };
        core.Builder().SetHooks(h);
    }

    std::unique_ptr<EXOSIP2INFO> Device(const char* id) {
        auto d = std::make_unique<EXOSIP2INFO>();
        d->kind = kNodeDevice;
        EXOSIP2INFO::SetField(d->id, id);
        EXOSIP2INFO::SetField(d->address, "127.0.0.1");
        d->port = 5060;
        return d;
    }

    // Registers a device and returns once its Catalog query went out.
    void Register(const char* id) {
        std::size_t before = sent.size();
        core.OnDeviceRegistered(Device(id));
        ASSERT_EQ(sent.size(), before + 1);
    }

    // A copy of the device's item, so that it outlives the snapshot.
    std::optional<TreeItem> DeviceItem(const TreeItem& root, const std::string& id) {
        for (const auto& c : root.children)
            if (c.text == id) return c;
        return std::nullopt;
    }

    SignalCore core;
    FakeView view;
    std::mutex m;
    std::vector<SentQuery> sent;
};

} // namespace

TEST_F(CoreTest, RegistrationAddsDeviceAndSendsCatalogAfterOneSecond) {
    auto start = Clock::now();
    Register("34010000001320000001");
    auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(sent[0].at - start).count();
    EXPECT_GE(waited, 950);
    EXPECT_LT(waited, 3000);
    EXPECT_EQ(sent[0].kind, 1);
    EXPECT_EQ(sent[0].text, Query("Catalog", 10, "34010000001320000001"));
    EXPECT_EQ(core.TypeText(), "目录查询");
    TreeItem t = core.TreeSnapshot();
    EXPECT_EQ(t.text, "34020000002000000001");
    EXPECT_TRUE(t.expanded);
    ASSERT_EQ(t.children.size(), 1u);
    EXPECT_EQ(t.children[0].text, "34010000001320000001");
    EXPECT_EQ(view.lists[kListSignalling].size(), 43u);
    EXPECT_EQ(view.Locked([&] { return view.tree.children.size(); }), 1u);
    EXPECT_TRUE(view.ticked.count({kListSignalling, kRowCatalog}));
}

TEST_F(CoreTest, SameDeviceTwiceOneItemSecondDeviceBecomesCurrent) {
    Register("34010000001320000001");
    Register("34010000001320000001");
    Register("34010000001320000002");
    EXPECT_EQ(core.DeviceRecordCount(), 3u);
    TreeItem t = core.TreeSnapshot();
    ASSERT_EQ(t.children.size(), 2u);
    EXPECT_EQ(t.children[1].text, "34010000001320000002");
    EXPECT_EQ(*core.CurrentDeviceId(), "34010000001320000002");
    EXPECT_EQ(sent[2].text, Query("Catalog", 12, "34010000001320000002"));
}

TEST_F(CoreTest, CatalogReplacesChannelsAndStartsDeviceInfo) {
    Register("34010000001320000001");
    auto before = Clock::now();
    EXPECT_EQ(core.DispatchBody(Catalog("10", 2, 1, 2)), 0);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(sent[1].at - before).count(), 950);
    EXPECT_EQ(sent[1].text, Query("DeviceInfo", 11, "34010000001320000001"));
    EXPECT_EQ(core.TypeText(), "信息查询"); // the builder's label for the query
    auto dev = DeviceItem(core.TreeSnapshot(), "34010000001320000001");
    ASSERT_TRUE(dev.has_value());
    ASSERT_EQ(dev->children.size(), 2u);
    EXPECT_EQ(dev->children[0].text, "34010000001310000001");
    EXPECT_EQ(dev->children[1].text, "34010000001310000002");
    EXPECT_EQ(dev->children[0].kind, kNodeChannel);
    std::vector<std::pair<std::string, int>> channels;
    core.VisitDevices([&](const EXOSIP2INFO& d) {
        for (const auto& c : d.children) channels.push_back({c->address, c->port});
    });
    ASSERT_EQ(channels.size(), 2u);
    EXPECT_EQ(channels[0].first, "10.0.0.1");
    EXPECT_EQ(channels[0].second, (70001) & 0xFFFF); // cut to 16 bits

    // A second answer with another SN replaces the channels.
    core.DispatchBody(Catalog("11", 1, 7, 1));
    dev = DeviceItem(core.TreeSnapshot(), "34010000001320000001");
    ASSERT_EQ(dev->children.size(), 1u);
    EXPECT_EQ(dev->children[0].text, "34010000001310000007");
}

TEST_F(CoreTest, CatalogWithoutNumOrEmptyIsIgnored) {
    Register("34010000001320000001");
    core.DispatchBody(Catalog("10", 2, 1, 2));
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(core.DispatchBody(Catalog("12", 2, 5, 2, false)), -1);
    EXPECT_EQ(core.DispatchBody(Catalog("13", 0, 5, 0)), -1);
    EXPECT_EQ(sent.size(), 2u);
    EXPECT_EQ(DeviceItem(core.TreeSnapshot(), "34010000001320000001")->children.size(), 2u);
}

TEST_F(CoreTest, CatalogInFourMessagesCollectsFortyChannelsOneFollowUp) {
    Register("34010000001320000001");
    for (int part = 0; part < 4; ++part) {
        core.DispatchBody(Catalog("10", 40, part * 10 + 1, 10));
        EXPECT_EQ(sent.size(), part < 3 ? 1u : 2u) << part;
    }
    EXPECT_EQ(DeviceItem(core.TreeSnapshot(), "34010000001320000001")->children.size(), 40u);
    EXPECT_EQ(sent[1].text, Query("DeviceInfo", 11, "34010000001320000001"));
    // The same catalog once more starts a new list rather than growing to 80.
    for (int part = 0; part < 4; ++part) core.DispatchBody(Catalog("10", 40, part * 10 + 1, 10));
    EXPECT_EQ(DeviceItem(core.TreeSnapshot(), "34010000001320000001")->children.size(), 40u);
    EXPECT_EQ(sent.size(), 3u);
}

TEST_F(CoreTest, DeviceInfoAnswerSendsDeviceStatusThenChainEnds) {
    Register("34010000001320000001");
    core.DispatchBody("<?xml version=\"1.0\"?>\r\n<Response><CmdType>DeviceInfo</CmdType><SN>11</SN>"
                      "</Response>\r\n");
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].text, Query("DeviceStatus", 11, "34010000001320000001"));
    core.DispatchBody("<?xml version=\"1.0\"?>\r\n<Response><CmdType>DeviceStatus</CmdType>"
                      "</Response>\r\n");
    EXPECT_EQ(sent.size(), 2u);
    EXPECT_EQ(core.TypeText(), "状态查询");
}

TEST_F(CoreTest, KeepaliveChangesOnlyTheTypeText) {
    Register("34010000001320000001");
    int rebuilds = view.Locked([&] { return view.treeRebuilds; });
    core.DispatchBody(
        "<?xml version=\"1.0\"?>\r\n<Notify><CmdType>Keepalive</CmdType><SN>3</SN></Notify>\r\n");
    EXPECT_EQ(core.TypeText(), "心跳包");
    EXPECT_EQ(sent.size(), 1u);
    EXPECT_EQ(view.Locked([&] { return view.treeRebuilds; }), rebuilds);
    // Lower case is found in the body but matches no row.
    core.SetTypeText("x");
    core.DispatchBody("<?xml version=\"1.0\"?>\r\n<Response><CmdType>catalog</CmdType>"
                      "<DeviceList Num=\"1\"><Item><DeviceID>1</DeviceID></Item></DeviceList>"
                      "</Response>\r\n");
    EXPECT_EQ(core.TypeText(), "x");
    EXPECT_EQ(sent.size(), 1u);
}

TEST_F(CoreTest, OddBodiesAreIgnored) {
    Register("34010000001320000001");
    core.SetTypeText("t");
    for (const char* body : {"No Body!\n", "", "<Response><SN>1</SN></Response>",
                             "<?xml version=\"1.0\"?><Response><CmdType>Cat&zz;</CmdType></Response>",
                             "<<<>>>", "<?xml version=\"1.0\"?>\r\n<Response></Response>"})
        EXPECT_EQ(core.DispatchBody(body), 0) << body;
    EXPECT_EQ(core.TypeText(), "t");
    std::string deep;
    for (int i = 0; i < 5000; ++i) deep += "<a>";
    EXPECT_EQ(core.DispatchBody(deep), 0);
    EXPECT_EQ(sent.size(), 1u);
    // An unclosed element is tolerated: the Catalog without a list is rejected.
    EXPECT_EQ(core.DispatchBody("<?xml version=\"1.0\"?><Response><CmdType>Catalog</Response>"), -1);
    EXPECT_EQ(core.TypeText(), "目录查询");
    EXPECT_EQ(sent.size(), 1u);
}

TEST_F(CoreTest, CatalogWithoutDeclarationIsRead) {
    Register("34010000001320000001");
    std::string body = Catalog("10", 1, 3, 1);
    body = body.substr(body.find("<Response>"));
    core.DispatchBody(body);
    EXPECT_EQ(DeviceItem(core.TreeSnapshot(), "34010000001320000001")->children.size(), 1u);
}

TEST_F(CoreTest, RecordInfoAddsRecordingsRepeatAddsNodesNotItems) {
    Register("34010000001320000001");
    core.DispatchBody(Catalog("10", 2, 1, 2));
    core.DispatchBody(Records("34010000001310000002", 3));
    EXPECT_EQ(core.TypeText(), "信息查询");
    auto recordingItems = [&] {
        auto dev = DeviceItem(core.TreeSnapshot(), "34010000001320000001");
        return std::make_pair(dev->children[0].children.size(), dev->children[1].children.size());
    };
    EXPECT_EQ(recordingItems(), std::make_pair(std::size_t{0}, std::size_t{3}));
    core.DispatchBody(Records("34010000001310000002", 3));
    EXPECT_EQ(recordingItems(), std::make_pair(std::size_t{0}, std::size_t{3}));
    std::size_t nodes = 0;
    core.VisitDevices([&](const EXOSIP2INFO& d) {
        for (const auto& c : d.children) nodes += c->children.size();
    });
    EXPECT_EQ(nodes, 6u);
    EXPECT_EQ(sent.size(), 2u); // no query follows a record answer
}

TEST_F(CoreTest, TreeClicksByNodeKind) {
    bool live = false, open = false;
    int length = -1, stops = 0;
    SignalCore::MediaHooks mh;
    mh.livePlaying = [&] { return live; };
    mh.playbackOpen = [&] { return open; };
    mh.stopLive = [&] { ++stops; };
    mh.setPlaybackLength = [&](int s) { length = s; };
    core.SetMediaHooks(mh);
    Register("34010000001320000001");
    core.DispatchBody(Catalog("10", 1, 1, 1));
    core.DispatchBody(Records("34010000001310000001", 2));
    TreeItem t = core.TreeSnapshot();
    const TreeItem& dev = t.children[0];
    const TreeItem& ch = dev.children[0];
    const TreeItem& rec = ch.children[1];

    core.OnTreeClick(ch.item);
    EXPECT_EQ(core.Builder().MediaSetNumber(), 0);
    EXPECT_EQ(view.lists[kListMedia].size(), 6u);
    live = true;
    core.OnTreeClick(ch.item);
    EXPECT_EQ(view.lists[kListMedia].size(), 17u);

    core.OnTreeClick(rec.item);
    EXPECT_EQ(stops, 1);
    EXPECT_EQ(length, 4201); // 10:00:00 to 11:10:01
    EXPECT_EQ(view.progressText, "00:00:00/01:10:01");
    EXPECT_EQ(view.progressRange, 4201);
    EXPECT_EQ(view.progressPos, 1);
    EXPECT_EQ(view.lists[kListMedia].size(), 2u);
    live = false;
    open = true;
    core.OnTreeClick(rec.item);
    EXPECT_EQ(view.lists[kListMedia].size(), 9u);

    int fills = view.fills[kListSignalling];
    core.OnTreeClick(dev.item);
    EXPECT_EQ(view.fills[kListSignalling], fills + 1);
    core.OnTreeClick(t.item); // the root does nothing
    core.OnTreeClick(123456);
    EXPECT_EQ(view.fills[kListSignalling], fills + 1);
}

TEST_F(CoreTest, LogRowsAndSheets) {
    // Before any registration nothing is logged, unless the row is a
    // REGISTER or its answer, which carry the registering device.
    core.AddLogRow(kLogReceived, "No Body!\n", "MESSAGE sip:x SIP/2.0\r\n\r\n\n", nullptr);
    EXPECT_EQ(core.ListRowCount(), 0);
    core.SetTypeText("注册信息");
    core.AddLogRow(kLogReceived, "No Body!\n", "REGISTER sip:x SIP/2.0\r\n\r\n\n", "34010000001320000009");
    core.AddLogRow(kLogSent, "No Body!\n", "SIP/2.0 200 OK\r\n\r\n\n", "34010000001320000009");
    ASSERT_EQ(core.ListRowCount(), 2);
    Register("34010000001320000001");
    core.SetTypeText("目录查询");
    core.AddLogRow(kLogReceived, Catalog("10", 1, 1, 1), "MESSAGE sip:x SIP/2.0\r\n\r\n\n", nullptr);
    // The received row shows the type before the dispatch, its answer after.
    core.AddLogRow(kLogSent, "No Body!\n", "SIP/2.0 200 OK\r\n\r\n\n", nullptr);

    auto recv = core.SheetRows(kLogReceived);
    auto send = core.SheetRows(kLogSent);
    ASSERT_EQ(recv.size(), 2u);
    ASSERT_EQ(send.size(), 2u);
    EXPECT_EQ(recv[0].deviceId, "34010000001320000009");
    EXPECT_EQ(recv[0].typeText, "注册信息");
    EXPECT_EQ(recv[1].deviceId, "34010000001320000001");
    EXPECT_EQ(recv[1].typeText, "目录查询");
    EXPECT_EQ(send[1].typeText, "信息查询"); // set by the DeviceInfo query of the chain
    EXPECT_EQ(core.NextSheetRow(kLogReceived), 3);
    EXPECT_EQ(core.NextSheetRow(kLogSent), 3);
    // Time text: "%Y-%m-%dT%H:%M:%S.mmm"; the list shows it from the 12th character.
    ASSERT_EQ(recv[1].time.size(), 23u);
    EXPECT_EQ(recv[1].time[10], 'T');
    EXPECT_EQ(recv[1].time[19], '.');
    auto rows = view.Locked([&] { return view.rows; });
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[2].ListTime(), recv[1].time.substr(11));
    EXPECT_EQ(rows[3].body, "No Body!\n");

    // The workbook model holds the same rows: 8-bit time and device, UTF-16 texts.
    core.WithWorkbook([&](tarvex::xls::MessageLogWorkbook& book) {
        auto* sheet = book.Excel().GetWorksheet(0);
        ASSERT_NE(sheet, nullptr);
        EXPECT_EQ(sheet->GetAnsiSheetName(), "Recv Msg");
        EXPECT_EQ(sheet->Cell(2, 0)->GetString(), recv[1].time);
        EXPECT_EQ(sheet->Cell(2, 2)->GetString(), "34010000001320000001");
        EXPECT_EQ(sheet->Cell(2, 1)->GetWString(), TextCodec::Utf8ToUtf16("目录查询"));
        EXPECT_EQ(sheet->Cell(1, 3)->GetWString(), u"No Body!\n");
        EXPECT_EQ(book.Excel().GetWorksheet(1)->GetAnsiSheetName(), "Send Msg");
    });
}

TEST_F(CoreTest, BodiesDecodedForDisplayAndDoubleClicks) {
    Register("34010000001320000001");
    std::string gb = "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<Notify><CmdType>Keepalive"
                     "</CmdType><Name>" +
                     TextCodec::Utf8ToGbk("前门摄像机") + "</Name></Notify>\r\n";
    core.AddLogRow(kLogReceived, gb, "MESSAGE sip:x SIP/2.0\r\n\r\n\n", nullptr);
    core.AddLogRow(kLogSent, "No Body!\n", "SIP/2.0 200 OK\r\nX: 1\r\n\r\n\n", nullptr);
    auto rows = view.Locked([&] { return view.rows; });
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].body, gb); // kept as received
    EXPECT_NE(rows[0].bodyText.find("前门摄像机"), std::string::npos);

    auto xml = core.OnLogDoubleClick(0, 3);
    EXPECT_EQ(xml.viewer, SignalCore::Viewer::Xml);
    EXPECT_EQ(xml.text, gb);
    auto none = core.OnLogDoubleClick(1, 3);
    EXPECT_EQ(none.viewer, SignalCore::Viewer::Text);
    EXPECT_EQ(none.text, "No Body!\n");
    auto head = core.OnLogDoubleClick(1, 4);
    EXPECT_EQ(head.viewer, SignalCore::Viewer::Text);
    EXPECT_EQ(head.text, "SIP/2.0 200 OK\r\nX: 1\r\n\r\n\n");
    EXPECT_EQ(core.OnLogDoubleClick(1, 2).viewer, SignalCore::Viewer::None);
    EXPECT_EQ(core.OnLogDoubleClick(7, 3).viewer, SignalCore::Viewer::None);
}

TEST(DeviceFields, LongTextsAreCutAndPortsWrap) {
    EXOSIP2INFO n;
    std::string longId(60, '1');
    EXOSIP2INFO::SetField(n.id, longId);
    EXPECT_EQ(std::string(n.id), std::string(31, '1'));
    // A cut never leaves half a UTF-8 character.
    std::string chinese;
    for (int i = 0; i < 20; ++i) chinese += "摄";
    EXOSIP2INFO::SetField(n.address, chinese);
    EXPECT_EQ(std::string(n.address).size(), 30u);
    EXPECT_TRUE(TextCodec::IsValidUtf8(n.address));
    EXPECT_EQ(PortFromText("5060"), 5060);
    EXPECT_EQ(PortFromText("70000"), 70000 - 65536);
    EXPECT_EQ(PortFromText(""), 0);
    EXPECT_EQ(PortFromText("abc"), 0);
}

// Command tables, envelope text, sequence numbers, custom mode and check marks.

#include "manscdp/builder/CommandBuilder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace {

struct Sent {
    int kind;
    std::string text;
};

class RecordingView : public ICommandView {
public:
    void FillCommandList(int list, const std::vector<CommandEntry>& rows) override {
        std::lock_guard<std::mutex> lk(m);
        lists[list] = rows;
    }
    void SetCommandChecked(int list, int row, bool checked) override {
        std::lock_guard<std::mutex> lk(m);
        if (checked)
            ticked.insert({list, row});
        else
            ticked.erase({list, row});
    }
    void SetMessageText(const std::string& text) override {
        std::lock_guard<std::mutex> lk(m);
        shown.push_back(text);
    }
    std::mutex m;
    std::map<int, std::vector<CommandEntry>> lists;
    std::set<std::pair<int, int>> ticked;
    std::vector<std::string> shown;
};

class BuilderTest : public ::testing::Test {
protected:
    void SetUp() override {
        CommandBuilder::Hooks h;
        h.deviceId = [this]() -> std::optional<std::string> { return device; };
        h.send = [this](int kind, const std::string& text) {
            std::lock_guard<std::mutex> lk(m);
            sent.push_back({kind, text});
            return 0;
        };
        h.setTypeText = [this](const std::string& t) { typeText = t; };
        builder.SetHooks(h);
        builder.SetView(&view);
    }
    std::optional<std::string> device = std::string("34010000002000000001");
    std::mutex m;
    std::vector<Sent> sent;
    std::string typeText;
    RecordingView view;
    CommandBuilder builder;
};

std::string Envelope(const char* root, const char* cmd, int sn, const char* id) {
    return std::string("<?xml version=\"1.0\"?>\r\n<") + root + ">\r\n <CmdType>" + cmd +
           "</CmdType>\r\n <SN>" + std::to_string(sn) + "</SN>\r\n <DeviceID>" + id +
           "</DeviceID>\r\n</" + root + ">\r\n\r\n";
}

} // namespace

TEST(CommandTables, SignallingTableShape) {
    auto t = SignallingTable();
    ASSERT_EQ(t.size(), 43u);
    // The rows the automatic chain relies on.
    EXPECT_STREQ(t[0].command, "DeviceInfo");
    EXPECT_STREQ(t[0].label, "信息查询");
    EXPECT_STREQ(t[1].command, "DeviceStatus");
    EXPECT_STREQ(t[1].label, "状态查询");
    EXPECT_STREQ(t[2].command, "Catalog");
    EXPECT_STREQ(t[2].label, "目录查询");
    EXPECT_STREQ(t[20].command, "DeviceInfo");
    EXPECT_STREQ(t[20].label, "基本信息查询");
    EXPECT_STREQ(t[13].command, "CuriseInfo"); // the device's spelling, kept
    EXPECT_STREQ(t[38].label, "图像查询");
    int perKind[8] = {};
    std::set<std::string> labels;
    for (const auto& e : t) {
        ASSERT_GE(e.kind, 1);
        ASSERT_LE(e.kind, 7);
        ++perKind[e.kind];
        labels.insert(e.label);
        // Settings are Control, queries Query.
        std::string cmd = e.command;
        if (cmd.size() > 7 && cmd.compare(cmd.size() - 7, 7, "Setting") == 0) {
            EXPECT_EQ(e.kind, 4) << cmd;
        }
        if (cmd.size() > 4 && cmd.compare(cmd.size() - 4, 4, "Info") == 0) {
            EXPECT_EQ(e.kind, 1) << cmd;
        }
    }
    EXPECT_EQ(labels.size(), 43u);
    EXPECT_EQ(perKind[1], 20);
    EXPECT_EQ(perKind[4], 19);
    EXPECT_EQ(perKind[7], 2);
    EXPECT_EQ(perKind[2], 2);
    EXPECT_EQ(t[39].kind, 7);
    EXPECT_EQ(t[40].kind, 7);
    EXPECT_EQ(t[41].kind, 2);
    EXPECT_EQ(t[42].kind, 2);
}

TEST(CommandTables, MediaSets) {
    EXPECT_EQ(MediaSet(0).size(), 6u);
    EXPECT_EQ(MediaSet(1).size(), 17u);
    EXPECT_EQ(MediaSet(2).size(), 2u);
    EXPECT_EQ(MediaSet(3).size(), 9u);
    EXPECT_TRUE(MediaSet(4).empty());
    EXPECT_TRUE(MediaSet(-1).empty());
    EXPECT_STREQ(MediaSet(0)[0].label, "实时点播");
    EXPECT_STREQ(MediaSet(0)[3].command, "RecordInfo");
    EXPECT_EQ(MediaSet(0)[3].kind, 1);
    EXPECT_STREQ(MediaSet(1)[0].label, "点播取消");
    EXPECT_STREQ(MediaSet(1)[15].label, "拖动放大");
    EXPECT_STREQ(MediaSet(1)[16].label, "拖动缩小");
    EXPECT_STREQ(MediaSet(3)[3].command, "PAUSE");
    EXPECT_EQ(MediaSet(3)[8].kind, 6);
    for (int s = 0; s < kMediaSetCount; ++s)
        for (const auto& e : MediaSet(s)) EXPECT_TRUE(e.kind == 1 || e.kind == 4 || e.kind == 5 || e.kind == 6);
    EXPECT_STREQ(RootForKind(1), "Query");
    EXPECT_STREQ(RootForKind(4), "Control");
    EXPECT_STREQ(RootForKind(2), "Notify");
    EXPECT_STREQ(RootForKind(7), "Subscribe");
    EXPECT_STREQ(RootForKind(9), "Query");
}

TEST_F(BuilderTest, EnvelopeBytesAndSequenceFromTen) {
    builder.FillSignalling();
    ASSERT_EQ(view.lists[kListSignalling].size(), 43u);
    builder.ClickRow(kListSignalling, 0);
    builder.ClickRow(kListSignalling, 2);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].kind, 1);
    EXPECT_EQ(sent[0].text, Envelope("Query", "DeviceInfo", 10, "34010000002000000001"));
    EXPECT_EQ(sent[1].text, Envelope("Query", "Catalog", 11, "34010000002000000001"));
    EXPECT_EQ(builder.NextSequenceNumber(), 12);
    EXPECT_EQ(builder.Description(), "目录查询\n");
    EXPECT_EQ(typeText, "目录查询");
    EXPECT_EQ(builder.MessageText(), sent[1].text);
    ASSERT_FALSE(view.shown.empty());
    EXPECT_EQ(view.shown.back(), sent[1].text);
}

TEST_F(BuilderTest, SubscribeAndNotifyRoots) {
    for (int row : {39, 40, 41, 42, 3}) builder.ClickRow(kListSignalling, row);
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_EQ(sent[0].kind, 7);
    EXPECT_EQ(sent[0].text, Envelope("Subscribe", "Alarm", 10, "34010000002000000001"));
    EXPECT_EQ(sent[1].text, Envelope("Subscribe", "Catalog", 11, "34010000002000000001"));
    EXPECT_EQ(sent[2].kind, 2);
    EXPECT_EQ(sent[2].text, Envelope("Notify", "Alarm", 12, "34010000002000000001"));
    EXPECT_EQ(sent[3].text, Envelope("Notify", "Catalog", 13, "34010000002000000001"));
    EXPECT_EQ(sent[4].kind, 4); // reboot: its body comes from the control commands
    EXPECT_EQ(sent[4].text, Envelope("Control", "DeviceControl", 14, "34010000002000000001"));
}

TEST_F(BuilderTest, EveryRowBuildsItsEnvelope) {
    auto t = SignallingTable();
    for (int i = 0; i < 43; ++i) builder.ClickRow(kListSignalling, i);
    ASSERT_EQ(sent.size(), 43u);
    for (int i = 0; i < 43; ++i) {
        EXPECT_EQ(sent[i].kind, t[i].kind);
        EXPECT_EQ(sent[i].text, Envelope(RootForKind(t[i].kind), t[i].command, 10 + i,
                                         "34010000002000000001"))
            << i;
    }
}

TEST_F(BuilderTest, NothingBeforeRegistration) {
    device.reset();
    builder.ClickRow(kListSignalling, 2);
    EXPECT_TRUE(sent.empty());
    EXPECT_TRUE(view.ticked.empty());
    EXPECT_TRUE(view.shown.empty());
    EXPECT_EQ(builder.NextSequenceNumber(), 10);
    EXPECT_EQ(builder.SelectedRow(), -1);
}

TEST_F(BuilderTest, OutOfRangeRowDoesNothing) {
    builder.ClickRow(kListSignalling, 43);
    builder.ClickRow(kListSignalling, -1);
    builder.FillMedia(2);
    builder.ClickRow(kListMedia, 2);
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(builder.NextSequenceNumber(), 10);
}

TEST_F(BuilderTest, CustomModeHoldsTextAndSendButtonSendsEdit) {
    builder.SetCustomMode(true);
    builder.ClickRow(kListSignalling, 39); // kind 7
    builder.ClickRow(kListSignalling, 17); // kind 1, SN 11, not sent either
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(builder.NextSequenceNumber(), 12);
    EXPECT_EQ(builder.MessageText(), Envelope("Query", "TimeInfo", 11, "34010000002000000001"));
    EXPECT_EQ(builder.PressSend("edited"), 0);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].kind, 1);
    EXPECT_EQ(sent[0].text, "edited");
    builder.SetCustomMode(false);
    EXPECT_EQ(builder.PressSend("again"), -1);
    EXPECT_EQ(sent.size(), 1u);
}

TEST_F(BuilderTest, OnlyLastRowTickedAcrossLists) {
    builder.FillMedia(0);
    builder.ClickRow(kListSignalling, 5);
    EXPECT_EQ(view.ticked, (std::set<std::pair<int, int>>{{kListSignalling, 5}}));
    builder.ClickRow(kListMedia, 3); // RecordInfo search, kind 1
    EXPECT_EQ(view.ticked, (std::set<std::pair<int, int>>{{kListMedia, 3}}));
    EXPECT_EQ(builder.CurrentList(), kListMedia);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].text, Envelope("Query", "RecordInfo", 11, "34010000002000000001"));
    builder.ClearChecks(kListMedia);
    EXPECT_TRUE(view.ticked.empty());
}

TEST_F(BuilderTest, MediaTextPassesUnchangedAndEmptyMediaTextSendsNothing) {
    builder.FillMedia(0);
    builder.ClickRow(kListMedia, 0); // live view without an offer builder: nothing
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(builder.NextSequenceNumber(), 10);
    CommandBuilder::Hooks h;
    h.deviceId = [this]() -> std::optional<std::string> { return device; };
    h.send = [this](int kind, const std::string& text) {
        sent.push_back({kind, text});
        return 0;
    };
    h.mediaText = [](int set, int row, char* buf, std::size_t size) {
        std::snprintf(buf, size, "v=0\r\nset=%d row=%d\r\n", set, row);
    };
    builder.SetHooks(h);
    builder.ClickRow(kListMedia, 1);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].kind, 5);
    EXPECT_EQ(sent[0].text, "v=0\r\nset=0 row=1\r\n");
    EXPECT_EQ(builder.NextSequenceNumber(), 10); // offers take no SN
}

TEST_F(BuilderTest, OversizedBodyIsCutNotOverrun) {
    CommandBuilder::Hooks h;
    h.deviceId = [this]() -> std::optional<std::string> { return device; };
    h.send = [this](int kind, const std::string& text) {
        sent.push_back({kind, text});
        return 0;
    };
    h.appendBody = [](int, int, int, XMLNode& root) {
        root.AddTextChild("Info", std::string(5000, 'x').c_str());
    };
    builder.SetHooks(h);
    builder.ClickRow(kListSignalling, 7);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].text.size(), CommandBuilder::kBufferSize - 1);
    EXPECT_EQ(sent[0].text.rfind("<?xml version=\"1.0\"?>\r\n<Control>\r\n", 0), 0u);
}

TEST_F(BuilderTest, LongDeviceIdentifierIsCut) {
    device = std::string(60, '7');
    builder.ClickRow(kListSignalling, 0);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_NE(sent[0].text.find("<DeviceID>" + std::string(31, '7') + "</DeviceID>"), std::string::npos);
}

TEST_F(BuilderTest, ConcurrentBuildsTakeDistinctNumbers) {
    auto run = [this] {
        for (int i = 0; i < 200; ++i) builder.ClickRow(kListSignalling, i % 3);
    };
    std::thread a(run), b(run);
    a.join();
    b.join();
    ASSERT_EQ(sent.size(), 400u);
    std::set<int> sns;
    for (const auto& s : sent) {
        auto p = s.text.find("<SN>");
        ASSERT_NE(p, std::string::npos);
        sns.insert(std::stoi(s.text.substr(p + 4)));
        // Every text is whole: one declaration, one root.
        EXPECT_EQ(s.text.rfind("<?xml", 0), 0u);
        EXPECT_EQ(s.text.find("<?xml", 1), std::string::npos);
    }
    EXPECT_EQ(sns.size(), 400u);
    EXPECT_EQ(*sns.begin(), 10);
    EXPECT_EQ(*sns.rbegin(), 409);
}

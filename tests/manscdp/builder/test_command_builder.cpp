// Command tables, envelope text, sequence numbers, custom mode and check marks.

#include "manscdp/builder/CommandBuilder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <set>

namespace {

// Clicks like the core: select, envelope (or a ready text), finish.
struct Builds {
    CommandBuilder builder;
    std::string device = "34010000002000000001";
    std::vector<CommandBuilder::Result> sent;
    std::optional<int> untick;
    const CommandEntry* Click(int list, int row, bool custom = false, const char* ready = nullptr) {
        const CommandEntry* e = builder.Select(list, row, untick);
        if (!e) return nullptr;
        if (ready)
            builder.SetReadyText(*e, ready);
        else
            builder.BuildEnvelope(*e, device);
        CommandBuilder::Result r = builder.Finish(custom);
        if (r.send) sent.push_back(r);
        return e;
    }
};

std::string Envelope(const char* root, const char* cmd, int sn, const char* id) {
    return std::string("<?xml version=\"1.0\"?>\r\n<") + root + ">\r\n <CmdType>" + cmd +
           "</CmdType>\r\n <SN>" + std::to_string(sn) + "</SN>\r\n <DeviceID>" + id +
           "</DeviceID>\r\n</" + root + ">\r\n\r\n";
}

} // namespace

TEST(CommandTables, SignallingTableShape) {
    auto t = SignallingTable();
    ASSERT_EQ(t.size(), kSignallingRows);
    ASSERT_EQ(t.size(), 59u); // 43 rows of 2016, 16 of 2022
    // The rows the automatic chain relies on.
    EXPECT_STREQ(t[0].command, "DeviceInfo");
    EXPECT_STREQ(t[0].label, "信息查询");
    EXPECT_STREQ(t[1].command, "DeviceStatus");
    EXPECT_STREQ(t[1].label, "状态查询");
    EXPECT_STREQ(t[2].command, "Catalog");
    EXPECT_STREQ(t[2].label, "目录查询");
    EXPECT_STREQ(t[20].command, "DeviceInfo");
    EXPECT_STREQ(t[20].label, "基本信息查询");
    EXPECT_STREQ(t[13].command, "CruiseTrackListQuery"); // no longer the misspelt CuriseInfo
    EXPECT_STREQ(t[9].command, "DeviceConfig");          // SnapShotConfig, not Snapshot
    EXPECT_STREQ(t[43].label, "PTZ精准控制");
    EXPECT_STREQ(t[58].label, "前端OSD配置");
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
    EXPECT_EQ(labels.size(), 59u);
    EXPECT_EQ(perKind[1], 24);
    EXPECT_EQ(perKind[4], 31);
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

TEST(Builder, EnvelopeBytesAndSequenceFromTen) {
    Builds b;
    b.Click(kListSignalling, 0);
    b.Click(kListSignalling, 2);
    ASSERT_EQ(b.sent.size(), 2u);
    EXPECT_EQ(b.sent[0].kind, 1);
    EXPECT_EQ(b.sent[0].text, Envelope("Query", "DeviceInfo", 10, "34010000002000000001"));
    EXPECT_EQ(b.sent[1].text, Envelope("Query", "Catalog", 11, "34010000002000000001"));
    EXPECT_EQ(b.sent[1].label, "目录查询");
    EXPECT_EQ(b.builder.NextSequenceNumber(), 12);
    EXPECT_EQ(b.builder.Description(), "目录查询\n");
    EXPECT_EQ(b.builder.MessageText(), b.sent[1].text);
}

TEST(Builder, EveryRowBuildsItsEnvelopeWithItsRootAndKind) {
    Builds b;
    auto t = SignallingTable();
    const int rows = static_cast<int>(kSignallingRows);
    for (int i = 0; i < rows; ++i) b.Click(kListSignalling, i);
    ASSERT_EQ(b.sent.size(), kSignallingRows);
    for (int i = 0; i < rows; ++i) {
        EXPECT_EQ(b.sent[i].kind, t[i].kind);
        EXPECT_EQ(b.sent[i].text, Envelope(RootForKind(t[i].kind), t[i].command, 10 + i,
                                           "34010000002000000001"))
            << i;
    }
    EXPECT_EQ(b.sent[39].text, Envelope("Subscribe", "Alarm", 49, "34010000002000000001"));
    EXPECT_EQ(b.sent[42].text, Envelope("Notify", "Catalog", 52, "34010000002000000001"));
}

TEST(Builder, OutOfRangeRowChangesNothing) {
    Builds b;
    b.Click(kListSignalling, 5);
    EXPECT_FALSE(b.Click(kListSignalling, 59));
    EXPECT_FALSE(b.Click(kListSignalling, -1));
    b.builder.SetMediaSet(2);
    EXPECT_FALSE(b.Click(kListMedia, 2));
    EXPECT_EQ(b.builder.NextSequenceNumber(), 11);
    EXPECT_EQ(b.builder.SelectedRow(), 5);
    EXPECT_EQ(b.builder.CurrentList(), kListSignalling);
}

TEST(Builder, TheTickMovesToTheLastRowAcrossLists) {
    Builds b;
    b.builder.SetMediaSet(0);
    b.Click(kListSignalling, 5);
    EXPECT_FALSE(b.untick);
    b.Click(kListMedia, 3); // RecordInfo search, kind 1
    EXPECT_EQ(b.untick, 5);
    EXPECT_EQ(b.builder.CurrentList(), kListMedia);
    EXPECT_EQ(b.sent[1].text, Envelope("Query", "RecordInfo", 11, "34010000002000000001"));
}

TEST(Builder, CustomModeShowsAndHoldsEditedTextGoesWithTheLastKind) {
    Builds b;
    b.Click(kListSignalling, 39, true); // kind 7
    b.Click(kListSignalling, 17, true); // kind 1, SN 11, not sent either
    EXPECT_TRUE(b.sent.empty());
    EXPECT_EQ(b.builder.NextSequenceNumber(), 12);
    EXPECT_EQ(b.builder.MessageText(), Envelope("Query", "TimeInfo", 11, "34010000002000000001"));
    const CommandBuilder::Result r = b.builder.Edited("edited");
    EXPECT_TRUE(r.send);
    EXPECT_EQ(r.kind, 1);
    EXPECT_EQ(r.text, "edited");
    EXPECT_EQ(r.label, "时间查询");
    EXPECT_EQ(b.builder.MessageText(), "edited");
}

TEST(Builder, ReadyTextPassesUnchangedEmptySendsNothingAndTakesNoNumber) {
    Builds b;
    b.builder.SetMediaSet(0);
    b.Click(kListMedia, 0, false, ""); // live view without an offer: nothing
    EXPECT_TRUE(b.sent.empty());
    b.Click(kListMedia, 1, false, "v=0\r\nset=0 row=1\r\n");
    ASSERT_EQ(b.sent.size(), 1u);
    EXPECT_EQ(b.sent[0].kind, 5);
    EXPECT_EQ(b.sent[0].text, "v=0\r\nset=0 row=1\r\n");
    EXPECT_EQ(b.builder.NextSequenceNumber(), 10); // offers take no SN
}

TEST(Builder, OversizedBodyIsCutNotOverrunLongIdentifierIsCut) {
    Builds b;
    std::optional<int> untick;
    const CommandEntry* e = b.builder.Select(kListSignalling, 7, untick);
    b.builder.BuildEnvelope(*e, std::string(60, '7'));
    b.builder.Root().AddTextChild("Info", std::string(5000, 'x').c_str());
    const CommandBuilder::Result r = b.builder.Finish(false);
    EXPECT_EQ(r.text.size(), CommandBuilder::kBufferSize - 1);
    EXPECT_EQ(r.text.rfind("<?xml version=\"1.0\"?>\r\n<Control>\r\n", 0), 0u);
    EXPECT_NE(r.text.find("<DeviceID>" + std::string(31, '7') + "</DeviceID>"), std::string::npos);
}

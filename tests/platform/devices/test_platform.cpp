// The platform layer without the core: one record per device, unregistering,
// the cap, catalog notifications merged into the channel list, and which
// requests are admitted from whom.

#include "platform/calls/CallBook.h"
#include "platform/devices/DeviceRegistry.h"
#include "platform/dispatch/Admission.h"
#include "platform/dispatch/MessageFacts.h"

#include <gtest/gtest.h>

namespace {

constexpr const char* kDev = "34010000001320000001";
constexpr const char* kDev2 = "34010000001320000002";

std::string Item(const std::string& id, const std::string& extra = "") {
    return "<Item><DeviceID>" + id + "</DeviceID>" + extra + "</Item>";
}

// A Catalog body of root (Response or Notify) with the given items.
std::string Catalog(const char* root, const std::string& items, int num, const char* device = kDev) {
    return std::string("<?xml version=\"1.0\"?><") + root + "><CmdType>Catalog</CmdType><SN>1</SN><DeviceID>" +
           device + "</DeviceID><SumNum>" + std::to_string(num) + "</SumNum><DeviceList Num=\"" +
           std::to_string(num) + "\">" + items + "</DeviceList></" + root + ">";
}

XMLNode Element(const std::string& body, XMLNode& doc) {
    doc = XMLNode::Parse(body.c_str());
    return doc.ChildAt(0);
}

std::vector<std::string> Channels(const DeviceRecord& r) {
    std::vector<std::string> out;
    for (const auto& c : r.node->children) out.push_back(std::string(c->id) + "|" + c->name + "|" + c->status);
    return out;
}

} // namespace

TEST(Registry, OneRecordPerDeviceAndExpiresZeroLeavesItOffline) {
    DeviceRegistry reg;
    reg.ResetTree("root");
    DeviceRecord* a = reg.Register({kDev, "127.0.0.1", 5060});
    ASSERT_NE(a, nullptr);
    a->stage = ChainStage::Done;
    DeviceRecord* again = reg.Register({kDev, "127.0.0.2", 5070});
    EXPECT_EQ(again, a);
    EXPECT_EQ(reg.Count(), 1u);
    EXPECT_STREQ(a->node->address, "127.0.0.2");
    EXPECT_EQ(a->node->port, 5070);
    EXPECT_EQ(a->stage, ChainStage::CatalogDue); // its chain starts again
    EXPECT_EQ(reg.Unregister(kDev2), nullptr);
    ASSERT_EQ(reg.Unregister(kDev), a);
    EXPECT_FALSE(a->registered);
    EXPECT_TRUE(a->offline);
    EXPECT_TRUE(reg.Tree().Offline(a->node->treeItem));
    reg.Register({kDev, "127.0.0.2", 5070});
    EXPECT_TRUE(a->registered);
}

TEST(Registry, CatalogNotificationsMergeAResponseReplaces) {
    DeviceRegistry reg;
    reg.ResetTree("root");
    DeviceRecord& r = *reg.Register({kDev, "127.0.0.1", 5060});
    XMLNode doc;
    std::string items;
    for (int i = 1; i <= 3; ++i) items += Item("3401000000131000000" + std::to_string(i), "<Name>c" + std::to_string(i) + "</Name>");
    ASSERT_EQ(reg.ApplyCatalog(r, Element(Catalog("Response", items, 3), doc)), 1);
    struct Case {
        const char* what;
        std::string items;
        int changed;
        std::vector<std::string> after;
    } cases[] = {
        {"ADD", Item("34010000001310000009", "<Name>new</Name><Event>ADD</Event>"), 1,
         {"34010000001310000001|c1|", "34010000001310000002|c2|", "34010000001310000003|c3|",
          "34010000001310000009|new|"}},
        {"DEL", Item("34010000001310000002", "<Event>DEL</Event>"), 1,
         {"34010000001310000001|c1|", "34010000001310000003|c3|", "34010000001310000009|new|"}},
        {"OFF and VLOST", Item("34010000001310000001", "<Event>OFF</Event>") + Item("34010000001310000003", "<Event>vlost</Event>"), 2,
         {"34010000001310000001|c1|OFF", "34010000001310000003|c3|VLOST", "34010000001310000009|new|"}},
        {"UPDATE renames", Item("34010000001310000009", "<Name>renamed</Name><Event>UPDATE</Event>"), 1,
         {"34010000001310000001|c1|OFF", "34010000001310000003|c3|VLOST", "34010000001310000009|renamed|"}},
        {"DEL of a channel it does not have", Item("34010000001310000077", "<Event>DEL</Event>"), 0,
         {"34010000001310000001|c1|OFF", "34010000001310000003|c3|VLOST", "34010000001310000009|renamed|"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(reg.MergeCatalog(r, Element(Catalog("Notify", c.items, 1), doc)), c.changed) << c.what;
        EXPECT_EQ(Channels(r), c.after) << c.what;
    }
    const TreeItem t = reg.Tree().Snapshot();
    ASSERT_EQ(t.children.at(0).children.size(), 3u);
    EXPECT_EQ(t.children[0].children[2].text, "34010000001310000009  renamed");
    EXPECT_TRUE(reg.Tree().Offline(t.children[0].children[0].item));
    // A Response replaces the list whole.
    ASSERT_EQ(reg.ApplyCatalog(r, Element(Catalog("Response", Item("34010000001310000005"), 1), doc)), 1);
    EXPECT_EQ(Channels(r), (std::vector<std::string>{"34010000001310000005||"}));
}

TEST(Registry, NewDevicesBeyondTheCapAreRefused) {
    DeviceRegistry reg;
    reg.ResetTree("root");
    for (std::size_t i = 0; i < DeviceRegistry::kMaxDevices; ++i)
        ASSERT_NE(reg.Register({"3401000000132" + std::to_string(1000000 + i), "127.0.0.1", 5060}), nullptr);
    IncomingRequest known{"REGISTER", "34010000001321000000", "127.0.0.1", 5060, nullptr};
    IncomingRequest fresh{"REGISTER", kDev, "127.0.0.1", 5060, nullptr};
    EXPECT_EQ(Admit(reg, known), 200); // a refresh always fits
    EXPECT_EQ(Admit(reg, fresh), kRegistryFullStatus);
    EXPECT_EQ(reg.Register({kDev, "127.0.0.1", 5060}), nullptr);
    EXPECT_EQ(reg.Count(), DeviceRegistry::kMaxDevices);
}

TEST(Admission, RequestsOnlyFromRegisteredSendersAtTheirHost) {
    DeviceRegistry reg;
    reg.ResetTree("root");
    DeviceRecord& r = *reg.Register({kDev, "127.0.0.1", 5060});
    XMLNode doc;
    reg.ApplyCatalog(r, Element(Catalog("Response", Item("34010000001310000001"), 1), doc));
    reg.Register({kDev2, "127.0.0.3", 5060});
    reg.Unregister(kDev2);
    const std::string keepalive = "<?xml version=\"1.0\"?><Notify><CmdType>Keepalive</CmdType><DeviceID>x</DeviceID></Notify>";
    const std::string own = Catalog("Response", Item("34010000001310000001"), 1);
    const std::string ofChannel = Catalog("Notify", Item("34010000001310000001"), 1, "34010000001310000001");
    const std::string foreign = Catalog("Response", Item("34010000001310000008"), 1, kDev2);
    struct Case {
        const char* what;
        std::string user, host;
        const std::string* body;
        int status;
    } cases[] = {
        {"registered device", kDev, "127.0.0.1", &keepalive, 200},
        {"its own catalog", kDev, "127.0.0.1", &own, 200},
        {"its channel's catalog", kDev, "127.0.0.1", &ofChannel, 200},
        {"from one of its channels", "34010000001310000001", "127.0.0.1", &keepalive, 200},
        {"another device's catalog", kDev, "127.0.0.1", &foreign, 403},
        {"from another host", kDev, "127.0.0.9", &own, 403},
        {"never registered", "34010000001320000077", "127.0.0.1", &keepalive, 403},
        {"after Expires 0", kDev2, "127.0.0.3", &keepalive, 403},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Admit(reg, {"MESSAGE", c.user, c.host, 5060, c.body}), c.status) << c.what;
}

TEST(MessageFacts, RowTypeFromTheMessageItself) {
    struct Case {
        const char* head;
        const char* body;
        const char* type;
    } cases[] = {
        {"MESSAGE sip:a SIP/2.0\r\nCall-ID: 1\r\n\r\n\n",
         "<?xml version=\"1.0\"?><Notify><CmdType>Keepalive</CmdType></Notify>", "心跳包"},
        {"MESSAGE sip:a SIP/2.0\r\n\r\n\n",
         "<?xml version=\"1.0\"?><Response><CmdType>Catalog</CmdType></Response>", "目录查询"},
        {"MESSAGE sip:a SIP/2.0\r\n\r\n\n",
         "<?xml version=\"1.0\"?><Response><CmdType>RecordInfo</CmdType></Response>", "文件检索"},
        {"BYE sip:a SIP/2.0\r\n\r\n\n", "No Body!\n", "BYE"},
        {"REGISTER sip:a SIP/2.0\r\n\r\n\n", "No Body!\n", "注册信息"},
        {"SIP/2.0 488 Not Acceptable Here\r\nCSeq: 1 INVITE\r\ni: c9\r\n\r\n\n", "No Body!\n", "488 INVITE"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(TypeTextOfReceived(ReadHead(c.head), ReadBody(c.body)), c.type) << c.head;
    EXPECT_EQ(ReadHead("SIP/2.0 200 OK\r\ncall-id:  abc \r\n\r\n").callId, "abc");
    // An item's DeviceID is not the body's own.
    EXPECT_EQ(ReadBody("<Response><CmdType>Catalog</CmdType><DeviceList><Item><DeviceID>7</DeviceID>").deviceId, "");
}

TEST(CallBook, CallsOfADeviceEndTogetherAndOnlyThey) {
    CallBook book;
    book.Opened({1, 0, kDev, "34010000001310000001"});
    book.Opened({2, 0, kDev2, "34010000001310000002"});
    book.Opened({3, 0, kDev, "34010000001310000003"});
    book.Answered(3, 9);
    const auto ended = book.TakeCallsOf(kDev);
    ASSERT_EQ(ended.size(), 2u);
    EXPECT_EQ(book.OpenCalls(), 1u);
    EXPECT_TRUE(book.Call(2).has_value());
    int dialogs = 0;
    for (const auto& c : ended) dialogs += c.dialogId;
    EXPECT_EQ(dialogs, 9);
    // Requests are kept in a bounded book, the oldest go first.
    for (std::size_t i = 0; i < CallBook::kRequestsKept + 1; ++i) book.Sent("c" + std::to_string(i), "t", kDev);
    EXPECT_FALSE(book.Find("c0").has_value());
    EXPECT_EQ(book.Find("c1")->typeText, "t");
}

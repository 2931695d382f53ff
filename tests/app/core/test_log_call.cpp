// What the log's views read from a message: its peer, headers, raw bytes, and
// the ladder of its call.

#include "app/core/CallLadder.h"
#include "app/core/MessageLog.h"
#include "app/core/SipText.h"

#include <gtest/gtest.h>
#include <algorithm>

using namespace tarvex::siptext;
using Clock = std::chrono::system_clock;

TEST(SipText, WhereASentMessageWent) {
    struct Case {
        const char* head;
        const char* peer;
    } cases[] = {
        {"MESSAGE sip:34020000001320000001@192.168.1.64:5070 SIP/2.0\r\nCall-ID: a\r\n", "192.168.1.64:5070"},
        {"INVITE sip:34020000001310000001@10.0.0.7 SIP/2.0\r\n", "10.0.0.7:5060"},
        {"BYE sip:10.0.0.8:5062;transport=tcp SIP/2.0\r\n", "10.0.0.8:5062"},
        {"MESSAGE sip:dev@[2001:db8::1]:5080;lr SIP/2.0\r\n", "[2001:db8::1]:5080"},
        {"MESSAGE sip:dev@[2001:db8::1] SIP/2.0\r\n", "[2001:db8::1]:5060"},
        // Answers: the top Via's received and rport win over its sent-by.
        {"SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP 192.168.1.64:5070;rport=40001;received=172.16.0.9;branch=z9\r\n"
         "Via: SIP/2.0/UDP 10.9.9.9:1\r\n",
         "172.16.0.9:40001"},
        {"SIP/2.0 200 OK\r\nv: SIP/2.0/UDP 192.168.1.64:5070;branch=z9hG4bK1\r\n", "192.168.1.64:5070"},
        {"SIP/2.0 401 Unauthorized\r\nVia: SIP/2.0/TCP cam.local;rport;branch=z\r\n", "cam.local:5060"},
        {"SIP/2.0 200 OK\r\nCSeq: 1 MESSAGE\r\n", ""},
        {"garbage", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(SentPeer(c.head), c.peer) << c.head;
}

TEST(SipText, StartLineHeadersAndCallId) {
    const std::string head = "SIP/2.0 486 Busy Here\r\nVia: SIP/2.0/UDP h:1;branch=b\r\n"
                             "Subject: 3402:0,\r\n 3403:0\r\ni: abc@host\r\nCSeq: 20 INVITE\r\n\r\n";
    EXPECT_EQ(StatusOf(head), 486);
    EXPECT_EQ(MethodOf(head), "");
    EXPECT_EQ(Summary(head), "486 Busy Here");
    EXPECT_EQ(CallIdOf(head), "abc@host"); // the compact form
    EXPECT_EQ(HeaderValue(head, "cseq"), "20 INVITE");
    const auto h = Headers(head);
    ASSERT_EQ(h.size(), 4u);
    EXPECT_EQ(h[1].first, "Subject");
    EXPECT_EQ(h[1].second, "3402:0, 3403:0"); // the folded line joined
    EXPECT_EQ(h[2].first, "i");
    EXPECT_EQ(Summary("REGISTER sip:x SIP/2.0\r\n"), "REGISTER");
    // A header named in the start line is no header.
    EXPECT_EQ(HeaderValue("MESSAGE sip:Call-ID: x SIP/2.0\r\n", "Call-ID"), "");
}

TEST(SipText, HexDumpShowsEveryByte) {
    const std::string bytes = std::string("MESSAGE\r\n") + '\0' + "\xb2\xe2\xca\xd4" + std::string(20, 'x');
    const std::string dump = HexDump(bytes);
    EXPECT_EQ(dump.substr(0, 10), "00000000  ");
    EXPECT_NE(dump.find("4d 45 53 53 41 47 45 0d  0a 00 b2 e2 ca d4 78 78"), std::string::npos) << dump;
    EXPECT_NE(dump.find("MESSAGE.......xx"), std::string::npos) << dump;
    EXPECT_NE(dump.find("\n00000010  78"), std::string::npos) << dump;
    // 34 bytes: three lines.
    EXPECT_EQ(std::count(dump.begin(), dump.end(), '\n'), 3);
    EXPECT_EQ(HexDump(""), "");
}

namespace {
void Add(MessageLog& log, int dir, int ms, const std::string& start, const std::string& callId,
         const std::string& body = "No Body!\n", const char* peer = "10.0.0.7:5060") {
    static const Clock::time_point t0 = Clock::now();
    log.Append(dir, t0 + std::chrono::milliseconds(ms), "t", "34020000001320000001",
               start + "\r\nCall-ID: " + callId + "\r\nCSeq: 1 X\r\n\r\n\n", body, peer);
}
} // namespace

TEST(MessageLog, KeepsEachRowsPeerAndFindsTheRowsOfACall) {
    MessageLog log;
    Add(log, 1, 0, "INVITE sip:a@10.0.0.7 SIP/2.0", "call-1");
    Add(log, 2, 5, "MESSAGE sip:b SIP/2.0", "other", "No Body!\n", "10.0.0.9:5070");
    Add(log, 2, 40, "SIP/2.0 200 OK", "call-1");
    Add(log, 1, 41, "ACK sip:a@10.0.0.7 SIP/2.0", "call-1");
    Add(log, 1, 50, "MESSAGE sip:b SIP/2.0", "call-10"); // a longer id that starts alike
    log.Append(2, Clock::now(), "t", "d", "SIP/2.0 200 OK\r\ni: call-1\r\n", "", "");
    int dir = 0;
    std::string peer;
    ASSERT_TRUE(log.RowPeer(1, dir, peer));
    EXPECT_EQ(dir, 2);
    EXPECT_EQ(peer, "10.0.0.9:5070");
    MessageLog::RowText r;
    ASSERT_TRUE(log.Row(5, r));
    EXPECT_EQ(r.peer, "");
    EXPECT_FALSE(log.RowPeer(6, dir, peer));
    EXPECT_EQ(log.RowsOfCall("call-1", 100), (std::vector<std::size_t>{0, 2, 3, 5}));
    EXPECT_EQ(log.RowsOfCall("call-1", 2), (std::vector<std::size_t>{0, 2}));
    EXPECT_EQ(log.RowsOfCall("call-10", 100), (std::vector<std::size_t>{4}));
    EXPECT_TRUE(log.RowsOfCall("", 100).empty());
    EXPECT_TRUE(log.RowsOfCall("none", 100).empty());
}

TEST(CallLadder, TheCallOfTheSelectedRowInOrderWithLabelsAndOffsets) {
    MessageLog log;
    const std::string catalog = "<?xml version=\"1.0\"?>\r\n<Query><CmdType>Catalog</CmdType></Query>";
    Add(log, 1, 0, "INVITE sip:a@10.0.0.7 SIP/2.0", "c1");
    Add(log, 1, 10, "MESSAGE sip:a@10.0.0.7 SIP/2.0", "keep", catalog);
    Add(log, 2, 120, "SIP/2.0 100 Trying", "c1");
    Add(log, 2, 1250, "SIP/2.0 200 OK", "c1", "v=0\r\n");
    Add(log, 1, 1251, "ACK sip:a@10.0.0.7 SIP/2.0", "c1");
    const CallLadder l = BuildCallLadder(log, 3);
    EXPECT_EQ(l.callId, "c1");
    EXPECT_EQ(l.farEnd, "34020000001320000001");
    ASSERT_EQ(l.steps.size(), 4u);
    struct Want {
        std::size_t row;
        int dir;
        const char* label;
        long long offset;
    } want[] = {{0, 1, "INVITE", 0}, {2, 2, "100 Trying", 120}, {3, 2, "200 OK", 1250}, {4, 1, "ACK", 1251}};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(l.steps[i].logRow, want[i].row);
        EXPECT_EQ(l.steps[i].direction, want[i].dir);
        EXPECT_EQ(l.steps[i].label, want[i].label);
        EXPECT_EQ(l.steps[i].offsetMs, want[i].offset);
        EXPECT_EQ(l.steps[i].cseq, "1 X");
        EXPECT_EQ(l.steps[i].peer, "10.0.0.7:5060");
    }
    EXPECT_EQ(l.selected, 2);
    EXPECT_FALSE(l.truncated);
    // A MESSAGE names its CmdType.
    const CallLadder m = BuildCallLadder(log, 1);
    ASSERT_EQ(m.steps.size(), 1u);
    EXPECT_EQ(m.steps[0].label, "MESSAGE Catalog");
    // Bounded: the first steps, and it says so.
    const CallLadder cut = BuildCallLadder(log, 4, 2);
    EXPECT_EQ(cut.steps.size(), 2u);
    EXPECT_TRUE(cut.truncated);
    EXPECT_EQ(cut.selected, -1);
    // No row, or a head without Call-ID: no call.
    EXPECT_EQ(BuildCallLadder(log, 99).callId, "");
    log.Append(2, Clock::now(), "t", "", "garbage", "", "1.2.3.4:5");
    EXPECT_TRUE(BuildCallLadder(log, 5).steps.empty());
}

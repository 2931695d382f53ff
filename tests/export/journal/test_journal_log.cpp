// The message log bounded by the journal: older rows leave memory only once the
// journal holds them, read back whole for the list, and the workbook of a long
// run (read by python3-xlrd) still holds every row in order. Rows back from
// the journal keep their peer, and a call whose rows left memory still draws
// whole in its ladder.

#include "app/core/CallLadder.h"
#include "app/core/MessageLog.h"
#include "export/journal/Journal.h"
#include "support/common/Files.h"
#include "xls/XlsReadBack.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using tarvex::journal::Journal;

// The journal has committed every row appended so far (at most a few commit intervals).
void UntilDurable(const Journal& j, std::int64_t id) {
    for (int i = 0; i < 40 && j.DurableThrough() < id; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(Journal::kCommitMs));
    ASSERT_GE(j.DurableThrough(), id);
}

struct Attached {
    explicit Attached(Journal* j) { MessageLog::AttachJournal(j); }
    ~Attached() { MessageLog::AttachJournal(nullptr); }
};

const auto kT0 = std::chrono::system_clock::time_point(std::chrono::milliseconds(1'780'000'000'000));

std::string Body(int i) { return std::string("<Notify>\xd6\xd0\x00", 11) + std::to_string(i); }
std::string Head(int i) { return "MESSAGE sip:34020000002000000001@3402000000 SIP/2.0\r\nCSeq: " + std::to_string(i) + " MESSAGE\r\n\r\n"; }

void AppendRows(MessageLog& log, int from, int to) {
    for (int i = from; i < to; ++i)
        log.Append(i % 3 == 0 ? 1 : 2, kT0 + std::chrono::milliseconds(i), i % 3 == 0 ? "Catalog" : "Keepalive",
                   "dev" + std::to_string(i % 7), Head(i), Body(i));
}

TEST(JournalLog, OldRowsLeaveMemoryAndComeBackWholeFromTheJournal) {
    TempDir dir;
    Journal j;
    ASSERT_EQ(j.Open(dir.File("j.sqlite")), "");
    Attached a(&j);
    MessageLog log(100);
    AppendRows(log, 0, 1500);
    UntilDurable(j, 1500);
    AppendRows(log, 1500, 3000);
    UntilDurable(j, 3000);
    AppendRows(log, 3000, 3001); // evicts down to the bound
    EXPECT_EQ(log.Size(), 3001u);
    EXPECT_EQ(log.MemoryRows(), 100u);
    for (int i = 0; i < 3001; ++i) {
        MessageLog::RowText r;
        ASSERT_TRUE(log.Row(static_cast<std::size_t>(i), r)) << i;
        EXPECT_EQ(r.direction, i % 3 == 0 ? 1 : 2) << i;
        EXPECT_EQ(r.body, Body(i)) << i;
        EXPECT_EQ(r.head, Head(i)) << i;
        EXPECT_EQ(r.deviceId, "dev" + std::to_string(i % 7)) << i;
        EXPECT_EQ(r.typeText, i % 3 == 0 ? "Catalog" : "Keepalive") << i;
    }
    MessageLog::RowText old, recent;
    ASSERT_TRUE(log.Row(5, old));
    ASSERT_TRUE(log.Row(2995, recent));
    EXPECT_EQ(old.time.size(), recent.time.size());
    EXPECT_EQ(old.time.substr(19), ".005");
    EXPECT_TRUE(log.RowContains(10, "CSeq: 10 MESSAGE"));
    EXPECT_FALSE(log.RowContains(10, "CSeq: 11 MESSAGE"));
    EXPECT_FALSE(log.Row(3001, old));
}

TEST(JournalLog, RowsTheJournalDoesNotHoldStayInMemory) {
    struct Case {
        const char* what;
        bool open, closeFirst;
    } cases[] = {{"no journal", false, false}, {"journal closed (appends refused)", true, true}};
    for (const Case& c : cases) {
        TempDir dir;
        Journal j;
        if (c.open) {
            ASSERT_EQ(j.Open(dir.File("j.sqlite")), "");
        }
        if (c.closeFirst) j.Close(true);
        Attached a(c.open ? &j : nullptr);
        MessageLog log(10);
        AppendRows(log, 0, 200);
        std::this_thread::sleep_for(std::chrono::milliseconds(2 * Journal::kCommitMs));
        AppendRows(log, 200, 201);
        EXPECT_EQ(log.MemoryRows(), 201u) << c.what;
        MessageLog::RowText r;
        ASSERT_TRUE(log.Row(0, r)) << c.what;
        EXPECT_EQ(r.body, Body(0)) << c.what;
    }
}

TEST(JournalLog, WorkbookOfALongRunHoldsEveryRowReadByXlrd) {
    TempDir dir;
    Journal j;
    ASSERT_EQ(j.Open(dir.File("j.sqlite")), "");
    Attached a(&j);
    MessageLog log(50);
    // Stretches of rows, each committed before the next, so that most leave memory.
    for (int k = 0; k < 4; ++k) {
        AppendRows(log, k * 500, (k + 1) * 500);
        UntilDurable(j, (k + 1) * 500);
    }
    AppendRows(log, 2000, 2010);
    ASSERT_LE(log.MemoryRows(), 60u);
    const tarvex::xls::SaveResult saved = tarvex::xls::SaveMessageLog(log, dir.Path());
    ASSERT_FALSE(saved.written.empty());
    const xlstest::Book b = xlstest::ReadBack(saved.written, "full");
    ASSERT_TRUE(b.ok) << b.output;
    ASSERT_GE(b.sheets.size(), 2u);
    int sentRows = 0, recvRows = 0;
    for (int i = 0; i < 2010; ++i) (i % 3 == 0 ? sentRows : recvRows)++;
    const xlstest::Sheet& recv = b.sheets[0];
    const xlstest::Sheet& sent = b.sheets[1];
    EXPECT_EQ(recv.nrows, recvRows + 1);
    EXPECT_EQ(sent.nrows, sentRows + 1);
    int r = 1, s = 1;
    for (int i = 0; i < 2010; ++i) {
        const xlstest::Sheet& sh = i % 3 == 0 ? sent : recv;
        int& row = i % 3 == 0 ? s : r;
        const auto head = sh.cells.find({row, 4});
        ASSERT_NE(head, sh.cells.end()) << i;
        EXPECT_EQ(head->second.value, Head(i)) << i;
        ++row;
    }
}

} // namespace

namespace {

TEST(JournalLog, AHeadPast2047BytesReachesTheWorkbookWhole) {
    TempDir dir;
    Journal j;
    ASSERT_EQ(j.Open(dir.File("j.sqlite")), "");
    Attached a(&j);
    MessageLog log(1);
    const std::string head = "MESSAGE sip:1@2 SIP/2.0\r\nX-Long: " + std::string(6000, 'q') + "\r\nCSeq: 9 MESSAGE\r\n\r\n\n";
    log.Append(2, kT0, "Keepalive", "dev", head, "<Notify/>");
    UntilDurable(j, 1);
    log.Append(2, kT0, "Keepalive", "dev", "h\n", "b"); // the long row leaves memory
    ASSERT_EQ(log.MemoryRows(), 1u);
    MessageLog::RowText r;
    ASSERT_TRUE(log.Row(0, r));
    EXPECT_EQ(r.head, head);
    const tarvex::xls::SaveResult saved = tarvex::xls::SaveMessageLog(log, dir.Path());
    ASSERT_FALSE(saved.written.empty());
    const xlstest::Book b = xlstest::ReadBack(saved.written, "full");
    ASSERT_TRUE(b.ok) << b.output;
    const auto cell = b.sheets.at(0).cells.find({1, 4});
    ASSERT_NE(cell, b.sheets.at(0).cells.end());
    EXPECT_EQ(cell->second.value, head);
}

} // namespace

namespace {

std::string CallHead(const std::string& start, const std::string& callId, int cseq) {
    return start + "\r\nCall-ID: " + callId + "\r\nCSeq: " + std::to_string(cseq) + " INVITE\r\n\r\n\n";
}

// A call to a camera: INVITE, 100, 200, ACK; then filler (keepalives of other
// calls) that pushes it out of memory; then its BYE and 200 in memory.
struct CallRig {
    static constexpr const char* kCall = "inv-7@192.0.2.1";
    static constexpr const char* kPeer = "192.0.2.7:5062";
    std::vector<std::size_t> callRows;
    void AddCallStep(MessageLog& log, int dir, const std::string& start, int cseq, int ms) {
        callRows.push_back(log.Append(dir, kT0 + std::chrono::milliseconds(ms), "Invite", "34020000001320000001",
                                      CallHead(start, kCall, cseq), "No Body!\n", kPeer));
    }
    void Fill(MessageLog& log, int n, int ms) {
        for (int i = 0; i < n; ++i)
            log.Append(2, kT0 + std::chrono::milliseconds(ms), "Keepalive", "dev",
                       CallHead("MESSAGE sip:x SIP/2.0", "ka-" + std::to_string(i), 1), Body(i),
                       "198.51.100." + std::to_string(i % 200) + ":5060");
    }
};

TEST(JournalLog, RowsBackFromTheJournalKeepTheirPeer) {
    TempDir dir;
    Journal j;
    ASSERT_EQ(j.Open(dir.File("j.sqlite")), "");
    Attached a(&j);
    MessageLog log(20);
    CallRig rig;
    rig.Fill(log, 300, 0);
    UntilDurable(j, 300);
    rig.Fill(log, 1, 0);
    ASSERT_EQ(log.MemoryRows(), 20u);
    struct Case {
        std::size_t row;
        std::string peer;
    } cases[] = {{0, "198.51.100.0:5060"}, {199, "198.51.100.199:5060"}, {250, "198.51.100.50:5060"},
                 {300, "198.51.100.0:5060"}}; // the last one still in memory
    for (const Case& c : cases) {
        int direction = 0;
        std::string peer;
        ASSERT_TRUE(log.RowPeer(c.row, direction, peer)) << c.row;
        EXPECT_EQ(direction, 2) << c.row;
        EXPECT_EQ(peer, c.peer) << c.row;
        MessageLog::RowText r;
        ASSERT_TRUE(log.Row(c.row, r)) << c.row;
        EXPECT_EQ(r.peer, c.peer) << c.row;
    }
    // The list's filter over the whole log sees the peer of every row.
    std::size_t seen = 0;
    log.ScanRows(0, log.Size(), [&](std::size_t i, const MessageLog::RowView& v) {
        seen += v.peer == "198.51.100." + std::to_string(i % 300 % 200) + ":5060";
    });
    EXPECT_EQ(seen, 301u);
}

TEST(JournalLog, ACallWhoseRowsLeftMemoryDrawsWholeInItsLadder) {
    struct Case {
        const char* what;
        bool otherLog;    // a second log on the same journal holds rows of the same Call-ID
        std::size_t limit;
        std::size_t steps;
        bool truncated;
    } cases[] = {{"whole", false, 2000, 6, false},
                 {"a second log's rows are not this log's", true, 2000, 6, false},
                 {"bounded across memory and journal", false, 5, 5, true},
                 {"bounded within the journal", false, 3, 3, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        Journal j;
        ASSERT_EQ(j.Open(dir.File("j.sqlite")), "");
        Attached a(&j);
        MessageLog log(50), other(1);
        CallRig rig, otherRig;
        rig.AddCallStep(log, 1, "INVITE sip:34020000001320000001@192.0.2.7:5062 SIP/2.0", 20, 0);
        if (c.otherLog) otherRig.AddCallStep(other, 1, "INVITE sip:x@192.0.2.7:5062 SIP/2.0", 20, 1);
        rig.AddCallStep(log, 2, "SIP/2.0 100 Trying", 20, 30);
        rig.AddCallStep(log, 2, "SIP/2.0 200 OK", 20, 400);
        if (c.otherLog) otherRig.AddCallStep(other, 2, "SIP/2.0 200 OK", 20, 401);
        rig.AddCallStep(log, 1, "ACK sip:34020000001320000001@192.0.2.7:5062 SIP/2.0", 20, 401);
        rig.Fill(log, 200, 500);
        UntilDurable(j, c.otherLog ? 206 : 204);
        rig.AddCallStep(log, 1, "BYE sip:34020000001320000001@192.0.2.7:5062 SIP/2.0", 21, 9000);
        rig.AddCallStep(log, 2, "SIP/2.0 200 OK", 21, 9040);
        ASSERT_EQ(log.MemoryRows(), 50u);
        ASSERT_LT(rig.callRows[3], log.Size() - log.MemoryRows()); // the ACK left memory
        const CallLadder l = BuildCallLadder(log, rig.callRows[2], c.limit);
        EXPECT_EQ(l.callId, CallRig::kCall);
        EXPECT_EQ(l.farEnd, "34020000001320000001");
        EXPECT_EQ(l.truncated, c.truncated);
        ASSERT_EQ(l.steps.size(), c.steps);
        const char* labels[] = {"INVITE", "100 Trying", "200 OK", "ACK", "BYE", "200 OK"};
        const long long offsets[] = {0, 30, 400, 401, 9000, 9040};
        for (std::size_t i = 0; i < c.steps; ++i) {
            EXPECT_EQ(l.steps[i].logRow, rig.callRows[i]) << i;
            EXPECT_EQ(l.steps[i].label, labels[i]) << i;
            EXPECT_EQ(l.steps[i].offsetMs, offsets[i]) << i;
            EXPECT_EQ(l.steps[i].peer, CallRig::kPeer) << i;
        }
        EXPECT_EQ(l.selected, 2);
        // From the in-memory end of the call too.
        const CallLadder fromBye = BuildCallLadder(log, rig.callRows[4]);
        EXPECT_EQ(fromBye.steps.size(), 6u);
        EXPECT_EQ(fromBye.selected, 4);
    }
}

} // namespace

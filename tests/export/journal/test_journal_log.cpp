// The message log bounded by the journal: older rows leave memory only once the
// journal holds them, read back whole for the list, and the workbook of a long
// run (read by python3-xlrd) still holds every row in order.

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

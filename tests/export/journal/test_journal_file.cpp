// The journal file itself: rows from several threads come back whole and in
// order (bytes of any value), a closed journal is finished, and one whose
// process died at once still holds everything appended a commit interval
// before. A journal of the first layout (no peer, no Call-ID) is still read
// into a workbook.

#include "OldJournal.h"
#include "export/journal/Journal.h"
#include "support/common/Files.h"
#include "xls/XlsReadBack.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <thread>

namespace {

using namespace tarvex::journal;
using tarvex::xls::LogDirection;
using tarvex::xls::LogRowRef;

struct Read {
    std::string time, type, device, body, head;
};

std::vector<Read> Rows(const std::filesystem::path& path, LogDirection dir) {
    std::vector<Read> out;
    JournalRows(path).ForEachRow(dir, [&](const LogRowRef& r) {
        out.push_back({std::string(r.time), std::string(r.typeText), std::string(r.deviceId),
                       std::string(r.body), std::string(r.head)});
    });
    return out;
}

TEST(JournalFile, RowsFromThreadsComeBackWholeAndInOrderAndTheClosedJournalIsFinished) {
    TempDir dir;
    const std::filesystem::path path = dir.File("j.sqlite");
    Journal j;
    ASSERT_EQ(j.Open(path), "");
    const auto t0 = std::chrono::system_clock::time_point(std::chrono::milliseconds(1'780'000'000'123));
    const std::string binary("\x00\x01\xff<Notify>\r\n\xd6\xd0", 13);
    std::vector<std::thread> threads;
    for (int d = 1; d <= 2; ++d)
        threads.emplace_back([&, d] {
            for (int i = 0; i < 500; ++i)
                j.Append(d, t0 + std::chrono::milliseconds(i), "Keepalive", "dev" + std::to_string(d),
                         "MESSAGE sip:x SIP/2.0\r\nCSeq: " + std::to_string(i) + "\r\n\n", binary + std::to_string(i));
        });
    for (auto& t : threads) t.join();
    EXPECT_FALSE(Inspect(path).finished);
    j.Close(true);
    const JournalInfo info = Inspect(path);
    EXPECT_TRUE(info.ok) << info.error;
    EXPECT_TRUE(info.finished);
    EXPECT_EQ(info.rows, 1000u);
    EXPECT_EQ(info.first, t0);
    JournalRows rows(path);
    EXPECT_EQ(rows.RowCount(LogDirection::Sent), 500u);
    EXPECT_EQ(rows.RowCount(LogDirection::Received), 500u);
    for (LogDirection dir : {LogDirection::Sent, LogDirection::Received}) {
        const std::vector<Read> r = Rows(path, dir);
        ASSERT_EQ(r.size(), 500u);
        for (int i = 0; i < 500; ++i) {
            EXPECT_EQ(r[static_cast<std::size_t>(i)].body, binary + std::to_string(i));
            EXPECT_NE(r[static_cast<std::size_t>(i)].head.find("CSeq: " + std::to_string(i) + "\r\n"), std::string::npos);
        }
        EXPECT_EQ(r[0].type, "Keepalive");
        EXPECT_EQ(r[0].device, dir == LogDirection::Sent ? "dev1" : "dev2");
        EXPECT_EQ(r[0].time.size(), 23u) << r[0].time; // local time with milliseconds
        EXPECT_EQ(r[0].time.substr(19), ".123");
    }
}

TEST(JournalFile, ProcessKilledAtOnceKeepsWhatWasAppendedACommitIntervalBefore) {
    TempDir dir;
    const std::filesystem::path path = dir.File("j.sqlite");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        Journal j;
        if (!j.Open(path).empty()) _exit(2);
        for (int i = 0; i < 3000; ++i)
            j.Append(2, std::chrono::system_clock::now(), "Keepalive", "d", "head\n", std::to_string(i));
        std::this_thread::sleep_for(std::chrono::milliseconds(4 * Journal::kCommitMs));
        for (int i = 3000; i < 3010; ++i)
            j.Append(2, std::chrono::system_clock::now(), "Keepalive", "d", "head\n", std::to_string(i));
        [[maybe_unused]] ssize_t n = write(ready[1], "x", 1);
        for (;;) pause();
    }
    close(ready[1]);
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    const JournalInfo info = Inspect(path);
    ASSERT_TRUE(info.ok) << info.error;
    EXPECT_FALSE(info.finished);
    EXPECT_GE(info.rows, 3000u);
    const std::vector<Read> r = Rows(path, LogDirection::Received);
    ASSERT_GE(r.size(), 3000u);
    for (std::size_t i = 0; i < 3000; ++i) EXPECT_EQ(r[i].body, std::to_string(i));
}

TEST(JournalFile, OpenReplacesAnOlderJournalAndNoJournalIsSaid) {
    TempDir dir;
    const std::filesystem::path path = dir.File("j.sqlite");
    {
        Journal j;
        ASSERT_EQ(j.Open(path), "");
        j.Append(1, std::chrono::system_clock::now(), "t", "d", "h", "b");
    }
    Journal again;
    ASSERT_EQ(again.Open(path), "");
    again.Close(false);
    EXPECT_EQ(Inspect(path).rows, 0u);
    EXPECT_FALSE(Inspect(path).finished);
    WriteFile(dir.File("text"), "no database here");
    EXPECT_FALSE(Inspect(dir.File("text")).ok);
    EXPECT_FALSE(Inspect(dir.File("absent")).ok);
    EXPECT_NE(ExportJournal(dir.File("text"), dir.File("x.xls")), "");
    EXPECT_FALSE(std::filesystem::exists(dir.File("x.xls")));
}

TEST(JournalFile, EachLayoutIsReadIntoTheWorkbook) {
    struct Case {
        const char* what;
        bool old, finished;
        int schema;
    } cases[] = {{"first layout, run killed", true, false, 1},
                 {"first layout, run ended", true, true, 1},
                 {"this layout", false, false, kSchemaVersion}};
    constexpr int kRows = 30;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string path = dir.File("j.sqlite");
        Journal j;
        if (c.old) {
            ASSERT_EQ(journaltest::WriteVersion1Journal(path, kRows, c.finished), "");
        } else {
            ASSERT_EQ(j.Open(path), "");
            for (int sn = 1; sn <= kRows; ++sn)
                j.Append(sn % 3 == 0 ? 1 : 2, std::chrono::system_clock::now(), "Keepalive", "34010000001320000001",
                         journaltest::OldHead(sn), journaltest::OldKeepaliveBody(sn), "10.1.2.3:5060",
                         "old-" + std::to_string(sn));
            for (int i = 0; i < 40 && j.DurableThrough() < kRows; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(Journal::kCommitMs));
            ASSERT_EQ(j.DurableThrough(), kRows);
        }
        const JournalInfo info = Inspect(path);
        ASSERT_TRUE(info.ok) << info.error;
        EXPECT_EQ(info.schema, c.schema);
        EXPECT_EQ(info.finished, c.finished);
        EXPECT_EQ(info.rows, static_cast<std::size_t>(kRows));
        EXPECT_EQ(JournalRows(path).RowCount(LogDirection::Sent), static_cast<std::size_t>(kRows / 3));
        const std::vector<Read> recv = Rows(path, LogDirection::Received);
        ASSERT_EQ(recv.size(), static_cast<std::size_t>(kRows - kRows / 3));
        EXPECT_EQ(recv[0].head, journaltest::OldHead(1));
        EXPECT_EQ(recv[0].body, journaltest::OldKeepaliveBody(1));
        EXPECT_EQ(recv[0].device, "34010000001320000001");
        // What recovery and --export do with it: a workbook xlrd reads.
        ASSERT_EQ(ExportJournal(path, dir.File("out.xls")), "");
        const xlstest::Book b = xlstest::ReadBack(dir.File("out.xls"), "full");
        ASSERT_TRUE(b.ok) << b.output;
        ASSERT_GE(b.sheets.size(), 2u);
        EXPECT_EQ(b.sheets[0].nrows, kRows - kRows / 3 + 1);
        EXPECT_EQ(b.sheets[1].nrows, kRows / 3 + 1);
        const auto body = b.sheets[1].cells.find({1, 3});
        ASSERT_NE(body, b.sheets[1].cells.end());
        EXPECT_NE(body->second.value.find("<SN>3</SN>"), std::string::npos) << body->second.value;
    }
}

TEST(JournalFile, RowsKeepTheirPeerAndAreFoundByCallIdWithinARangeOfIds) {
    TempDir dir;
    Journal j;
    ASSERT_EQ(j.Open(dir.File("j.sqlite")), "");
    const auto t = std::chrono::system_clock::now();
    // Ids 1..12: call "a" at 1, 4, 7, 10; "b" at 2, 5, 8, 11; no Call-ID at 3, 6, 9, 12.
    for (int i = 1; i <= 12; ++i) {
        const char* call = i % 3 == 1 ? "a" : i % 3 == 2 ? "b" : "";
        j.Append(2, t, "t", "d", "h", "b", "192.0.2." + std::to_string(i) + ":5060", call);
    }
    for (int i = 0; i < 40 && j.DurableThrough() < 12; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(Journal::kCommitMs));
    ASSERT_EQ(j.DurableThrough(), 12);
    Journal::StoredRow r;
    ASSERT_TRUE(j.ReadRow(7, r));
    EXPECT_EQ(r.peer, "192.0.2.7:5060");
    struct Case {
        const char* call;
        std::int64_t first, last;
        std::size_t limit;
        std::vector<std::int64_t> want;
    } cases[] = {
        {"a", 1, 12, 100, {1, 4, 7, 10}},
        {"a", 2, 9, 100, {4, 7}},
        {"a", 1, 12, 2, {1, 4}},
        {"b", 1, 12, 100, {2, 5, 8, 11}},
        {"", 1, 12, 100, {}},   // no Call-ID finds nothing
        {"c", 1, 12, 100, {}},
        {"a", 1, 12, 0, {}},
        {"a", 13, 99, 100, {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(j.IdsOfCall(c.call, c.first, c.last, c.limit), c.want)
            << c.call << " " << c.first << ".." << c.last << " limit " << c.limit;
    j.Close(true);
    EXPECT_TRUE(j.IdsOfCall("a", 1, 12, 100).empty());
}

} // namespace

// The journal file itself: rows from several threads come back whole and in
// order (bytes of any value), a closed journal is finished, and one whose
// process died at once still holds everything appended a commit interval
// before.

#include "export/journal/Journal.h"
#include "support/common/Files.h"

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

} // namespace

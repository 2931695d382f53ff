// The session journal of the real program: kill -9 in the middle of a
// keepalive flood loses at most the last second. `tarvex --export` writes the
// workbook of the journal left behind, and the next start says it found an
// unfinished journal and writes its workbook; a run that ends normally leaves
// none to recover. A journal of the first layout (before rows kept their peer
// and Call-ID) is still exported and recovered.

#include "Flood.h"
#include "journal/OldJournal.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace systest;

namespace {

const char* kDevice = "34010000001320000001";

// The SNs of the keepalives in the workbook at path (copied into a scratch
// folder as MsgXml.xls, where ReadWorkbook reads).
std::set<int> KeepalivesIn(const std::filesystem::path& path) {
    TempDir scratch;
    std::filesystem::copy_file(path, scratch.File("MsgXml.xls"));
    return LoggedKeepalives(scratch);
}

TEST(Journal, KillNineDuringAFloodThenExportAndRecoveryHoldAllButTheLastSecond) {
    TempDir dir;
    const int port = FreePort(SOCK_DGRAM);
    WriteFile(dir.File("config.ini"), Config(port));
    std::map<int, std::chrono::steady_clock::time_point> answered;
    std::chrono::steady_clock::time_point killed;
    {
        Program tarvex(dir.Path(), {});
        ASSERT_TRUE(tarvex.WaitOut("SIP endpoint start transport 0")) << tarvex.Out();
        ASSERT_TRUE(WaitPortBound(port, false));
        KeepaliveFlood flood(port, kDevice);
        ASSERT_TRUE(flood.Register());
        flood.Run(1, 8000, 2000, [&](int sn) {
            if (sn == 6000) {
                killed = std::chrono::steady_clock::now();
                tarvex.Signal(SIGKILL);
            }
        });
        EXPECT_EQ(tarvex.Wait(10000), 128 + SIGKILL);
        answered = flood.AnsweredAt();
    }
    // Enough answered for the kill to fall in a flood (fewer on a loaded or
    // sanitizer build, where some are shed with 503).
    ASSERT_GT(answered.size(), 1500u);
    EXPECT_FALSE(std::filesystem::exists(dir.File("MsgXml.xls")));
    ASSERT_TRUE(std::filesystem::exists(dir.File("tarvex-journal.sqlite")));
    // Answered more than a second before the kill: must be in the journal.
    std::set<int> due;
    for (const auto& [sn, at] : answered)
        if (sn > 0 && at + std::chrono::seconds(1) < killed) due.insert(sn);
    ASSERT_GT(due.size(), 1000u);
    auto missing = [&](const std::set<int>& have) {
        std::vector<int> m;
        for (int sn : due)
            if (!have.count(sn)) m.push_back(sn);
        return m;
    };

    const int exported = testsupport::RunIn(
        dir.Path(),
        {TARVEX_BINARY_DIR "/tarvex", "--export", "tarvex-journal.sqlite", "--out", dir.File("exported.xls")},
        dir.File("export.out"), 60000);
    EXPECT_EQ(exported, 0) << ReadFile(dir.File("export.out"));
    EXPECT_NE(ReadFile(dir.File("export.out")).find("messages written to"), std::string::npos);
    const std::vector<int> lostExport = missing(KeepalivesIn(dir.File("exported.xls")));
    EXPECT_TRUE(lostExport.empty()) << lostExport.size() << " of " << due.size() << " missing";

    // The next start writes the unfinished journal's workbook beside the log.
    {
        Program again(dir.Path(), {}, TARVEX_BINARY_DIR "/tarvex", {}, dir.File("out2"));
        ASSERT_TRUE(again.WaitOut("an unfinished journal was found")) << again.Out();
        ASSERT_TRUE(again.WaitOut("SIP endpoint start transport 0")) << again.Out();
        again.Signal(SIGTERM);
        EXPECT_EQ(again.Wait(30000), 0) << again.Out();
    }
    std::filesystem::path recovered;
    for (const auto& e : std::filesystem::directory_iterator(dir.Path()))
        if (e.path().filename().string().rfind("MsgXml-", 0) == 0) recovered = e.path();
    ASSERT_FALSE(recovered.empty());
    const std::vector<int> lost = missing(KeepalivesIn(recovered));
    EXPECT_TRUE(lost.empty()) << lost.size() << " of " << due.size() << " missing, first " << lost.front();

    // That run ended normally: a third start finds nothing to recover.
    Program third(dir.Path(), {}, TARVEX_BINARY_DIR "/tarvex", {}, dir.File("out3"));
    ASSERT_TRUE(third.WaitOut("SIP endpoint start transport 0")) << third.Out();
    third.Signal(SIGTERM);
    EXPECT_EQ(third.Wait(30000), 0);
    EXPECT_EQ(third.Out().find("unfinished journal"), std::string::npos) << third.Out();
}

TEST(Journal, ExportOfSomethingThatIsNoJournalFailsAndSaysWhy) {
    TempDir dir;
    WriteFile(dir.File("not.sqlite"), "plain text, no database");
    const int rc = testsupport::RunIn(
        dir.Path(), {TARVEX_BINARY_DIR "/tarvex", "--export", "not.sqlite", "--out", dir.File("x.xls")},
        dir.File("out"), 30000);
    EXPECT_EQ(rc, 1) << ReadFile(dir.File("out"));
    EXPECT_NE(ReadFile(dir.File("out")).find("tarvex --export: not.sqlite: "), std::string::npos)
        << ReadFile(dir.File("out"));
    EXPECT_FALSE(std::filesystem::exists(dir.File("x.xls")));
}

TEST(Journal, AJournalOfTheFirstLayoutIsStillExportedAndRecovered) {
    constexpr int kRows = 600;
    std::set<int> want; // the received keepalives it holds
    for (int sn = 1; sn <= kRows; ++sn)
        if (sn % 3 != 0) want.insert(sn);
    for (const bool recovery : {false, true}) {
        SCOPED_TRACE(recovery ? "next start's recovery" : "tarvex --export");
        TempDir dir;
        ASSERT_EQ(journaltest::WriteVersion1Journal(dir.File("tarvex-journal.sqlite"), kRows, false), "");
        std::filesystem::path workbook;
        if (recovery) {
            const int port = FreePort(SOCK_DGRAM);
            WriteFile(dir.File("config.ini"), Config(port));
            Program tarvex(dir.Path(), {});
            ASSERT_TRUE(tarvex.WaitOut("an unfinished journal was found (600 messages): written to")) << tarvex.Out();
            ASSERT_TRUE(tarvex.WaitOut("SIP endpoint start transport 0")) << tarvex.Out();
            tarvex.Signal(SIGTERM);
            EXPECT_EQ(tarvex.Wait(30000), 0) << tarvex.Out();
            for (const auto& e : std::filesystem::directory_iterator(dir.Path()))
                if (e.path().filename().string().rfind("MsgXml-", 0) == 0) workbook = e.path();
        } else {
            workbook = dir.File("exported.xls");
            const int rc = testsupport::RunIn(
                dir.Path(), {TARVEX_BINARY_DIR "/tarvex", "--export", "tarvex-journal.sqlite", "--out", workbook.string()},
                dir.File("export.out"), 30000);
            EXPECT_EQ(rc, 0) << ReadFile(dir.File("export.out"));
            EXPECT_NE(ReadFile(dir.File("export.out")).find("600 messages written to"), std::string::npos)
                << ReadFile(dir.File("export.out"));
        }
        ASSERT_FALSE(workbook.empty());
        EXPECT_EQ(KeepalivesIn(workbook), want);
    }
}

} // namespace

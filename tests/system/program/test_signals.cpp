// Every way out saves: SIGTERM and SIGHUP in the middle of a 10,000-keepalive
// flood, after a SIGPIPE and also with standard output a pipe whose reader has
// gone, and every keepalive that got its 200 OK is in MsgXml.xls; --check
// writes its report on each signal it handles (SIGTERM, SIGHUP, SIGINT).

#include "Flood.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

using namespace systest;

namespace {

const char* kDevice = "34010000001320000001";
constexpr int kFlood = 10000;

std::string Name(int sig) { return sig == SIGHUP ? "SIGHUP" : sig == SIGINT ? "SIGINT" : "SIGTERM"; }

TEST(Signals, FloodThenSignalEveryAnsweredKeepaliveInTheWorkbook) {
    struct Row {
        int sig;
        bool closedStdout; // standard output a pipe whose reader has exited
    } rows[] = {{SIGTERM, false}, {SIGHUP, false}, {SIGTERM, true}, {SIGHUP, true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(Name(row.sig) + (row.closedStdout ? " with stdout closed" : ""));
        TempDir dir;
        const int port = FreePort(SOCK_DGRAM);
        WriteFile(dir.File("config.ini"), Config(port));
        int reader = -1;
        std::string out = dir.File("out");
        if (row.closedStdout) {
            out = dir.File("out.fifo");
            ASSERT_EQ(mkfifo(out.c_str(), 0600), 0);
            // Close-on-exec: the program must not hold the reading end itself.
            reader = open(out.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            ASSERT_GE(reader, 0);
        }
        Program tarvex(dir.Path(), {}, TARVEX_BINARY_DIR "/tarvex", {}, out);
        if (row.closedStdout) {
            // Read until the endpoint is up, then go away like `tarvex | head -1`.
            std::string seen;
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (seen.find("SIP endpoint start transport 0") == std::string::npos &&
                   std::chrono::steady_clock::now() < end) {
                char b[4096];
                const ssize_t n = read(reader, b, sizeof b);
                if (n > 0) seen.append(b, static_cast<std::size_t>(n));
                else std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            ASSERT_NE(seen.find("SIP endpoint start transport 0"), std::string::npos) << seen;
            close(reader);
        } else {
            ASSERT_TRUE(tarvex.WaitOut("SIP endpoint start transport 0")) << tarvex.Out();
        }
        ASSERT_TRUE(WaitPortBound(port, false));
        KeepaliveFlood flood(port, kDevice);
        ASSERT_TRUE(flood.Register());
        flood.Run(1, kFlood, 2500, [&](int sn) {
            // A SIGPIPE of its own (as a write to a pipe whose reader has gone
            // raises) is ignored; the signal then saves.
            if (sn == kFlood / 4) tarvex.Signal(SIGPIPE);
            if (sn == kFlood / 2) tarvex.Signal(row.sig);
        });
        const int rc = tarvex.Wait(60000);
        EXPECT_EQ(rc, 0) << (row.closedStdout ? "" : tarvex.Out());
        std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the last answers are read
        const std::set<int> answered = flood.Answered();
        const std::set<int> logged = LoggedKeepalives(dir);
        // The flood was answered up to the signal at least.
        EXPECT_GT(answered.size(), static_cast<std::size_t>(kFlood / 4));
        std::vector<int> lost;
        for (int sn : answered)
            if (sn > 0 && !logged.count(sn)) lost.push_back(sn);
        EXPECT_TRUE(lost.empty()) << lost.size() << " answered keepalives not in the workbook, first "
                                  << lost.front() << "; " << answered.size() << " answered, "
                                  << logged.size() << " logged";
    }
}

TEST(Signals, CheckWritesItsReportOnEachSignal) {
    for (int sig : {SIGTERM, SIGHUP, SIGINT}) {
        SCOPED_TRACE(Name(sig));
        TempDir dir;
        const int port = FreePort(SOCK_DGRAM);
        WriteFile(dir.File("config.ini"), Config(port));
        Program tarvex(dir.Path(), {"--check", "--here", "--out", dir.File("report"), "--timeout", "30"});
        ASSERT_TRUE(tarvex.WaitOut("waiting up to")) << tarvex.Out();
        KeepaliveFlood device(port, kDevice);
        ASSERT_TRUE(device.Register()) << tarvex.Out();
        // The check has begun querying the device, which never answers.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        tarvex.Signal(sig);
        EXPECT_EQ(tarvex.Wait(60000), 0) << tarvex.Out();
        EXPECT_NE(tarvex.Out().find("(interrupted)"), std::string::npos) << tarvex.Out();
        EXPECT_TRUE(std::filesystem::exists(dir.File("report/report.html"))) << tarvex.Out();
        EXPECT_TRUE(std::filesystem::exists(dir.File("report/MsgXml.xls"))) << tarvex.Out();
    }
}

} // namespace

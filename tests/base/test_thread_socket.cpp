#include "base/CThread.h"
#include "base/Diag.h"
#include "base/Socket.h"
#include "support/common/Net.h"

#include <arpa/inet.h>
#include <chrono>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

struct Counter {
    std::atomic<int> loops{0};
    std::atomic<int> entered{0};
    std::atomic<bool> insideBody{false};
};

void CountingRoutine(CThread* t) {
    auto* c = static_cast<Counter*>(t->argument);
    ++c->entered;
    while (t->running) {
        c->insideBody = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ++c->loops;
        c->insideBody = false;
    }
}

TEST(CThread, StartTwiceStartsOneThreadAndStopJoins) {
    Counter c;
    CThread t(CountingRoutine);
    int before = g_dwTNum;
    t.Start("worker", &c);
    t.Start("other", &c);
    EXPECT_STREQ(t.Name(), "worker");
    EXPECT_EQ(g_dwTNum, before + 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    t.Stop();
    // Stop returns only once the routine has left its loop body.
    EXPECT_FALSE(c.insideBody);
    EXPECT_EQ(c.entered, 1);
    int loops = c.loops;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(c.loops, loops);
    EXPECT_EQ(t.handle, -1);
    EXPECT_EQ(g_dwTNum, before);
}

TEST(CThread, StopOnStoppedWorkerPrintsNothing) {
    CThread t(CountingRoutine);
    testing::internal::CaptureStdout();
    t.Stop();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(CThread, DefaultNameAndPrintedLines) {
    Counter c;
    CThread t(CountingRoutine);
    // Diagnostics: on standard error with --verbose, never on standard output.
    tarvex::SetVerbose(true);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int n = g_dwTNum;
    t.Start(nullptr, &c);
    t.Stop();
    tarvex::SetVerbose(false);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    std::string out = testing::internal::GetCapturedStderr();
    std::string name = "Thread " + std::to_string(n);
    EXPECT_STREQ(t.Name(), name.c_str());
    EXPECT_NE(out.find("tarvex: " + name + ":In CThread::Start g_dwTNum =" + std::to_string(n) + "\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("tarvex: " + name + ":In CThread::exitThread g_dwTNum =" + std::to_string(n + 1) + "\n"),
              std::string::npos)
        << out;
}

TEST(CThread, RestartAfterStop) {
    Counter c;
    CThread t(CountingRoutine);
    t.Start("a", &c);
    t.Stop();
    t.Start("b", &c);
    t.Stop();
    EXPECT_EQ(c.entered, 2);
}

int BoundPort(int s) {
    sockaddr_in a{};
    socklen_t l = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &l);
    return ntohs(a.sin_port);
}

TEST(Socket, PortZeroNeitherBindsNorSetsReuse) {
    int s = CreateTcpSocket(0);
    ASSERT_GE(s, 0);
    int on = -1;
    socklen_t l = sizeof on;
    getsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, &l);
    EXPECT_EQ(on, 0);
    EXPECT_EQ(BoundPort(s), 0);
    CloseSocket(s);
    EXPECT_EQ(s, -1);
}

TEST(Socket, BindsGivenPortAndConnects) {
    UniqueSocket listener(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(listener.get(), 1), 0);
    int lport = BoundPort(listener.get());

    // A free port to bind the client to, outside the range that other
    // processes' outgoing connections draw from.
    const int cport = FreePort(SOCK_STREAM);
    ASSERT_GT(cport, 0);

    UniqueSocket c(CreateTcpSocket(cport));
    ASSERT_TRUE(c.valid());
    EXPECT_EQ(BoundPort(c.get()), cport);
    EXPECT_EQ(ConnectWithTimeout(c.get(), "127.0.0.1", lport), 0);
}

TEST(Socket, BindFailureReturnsMinusOne) {
    UniqueSocket holder(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(holder.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(holder.get(), 1), 0);
    tarvex::SetVerbose(true);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(CreateTcpSocket(BoundPort(holder.get())), -1);
    tarvex::SetVerbose(false);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_NE(testing::internal::GetCapturedStderr().find("tarvex: Bind Error:"), std::string::npos);
    // Without --verbose the caller's -1 is all there is.
    testing::internal::CaptureStderr();
    EXPECT_EQ(CreateTcpSocket(BoundPort(holder.get())), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(Socket, ConnectRefusedOrInvalid) {
    EXPECT_EQ(ConnectWithTimeout(-1, "127.0.0.1", 1), -1);
    UniqueSocket c(CreateTcpSocket(0));
    EXPECT_EQ(ConnectWithTimeout(c.get(), nullptr, 1), -1);
    EXPECT_EQ(ConnectWithTimeout(c.get(), "127.0.0.1", -1), -1);
    // Nothing listens on a port we just released: refused well within 3 s.
    UniqueSocket probe(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(probe.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    int port = BoundPort(probe.get());
    probe.reset();
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(ConnectWithTimeout(c.get(), "127.0.0.1", port), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(4));
}

} // namespace

// MESSAGEs answered on the worker (SetDirectMessages): the status the handler
// gives goes out at once with no event, retransmissions get the same bytes,
// and whenever an event is waiting or being handled the MESSAGE takes the
// usual way behind it, so that admission and rows keep the order of the wire.

#include "UaTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

using namespace sipua;
using namespace uatest;

namespace {

int Status(const std::string& a) { return a.size() > 12 ? std::atoi(a.c_str() + 8) : 0; }

struct Handler : SipAgent::DirectMessages {
    std::atomic<int> status{200};
    std::atomic<int> admitted{0}, answeredCount{0};
    std::mutex mu;
    std::vector<std::string> answers, callIds;
    int Admit(const SipAgent::DirectMessage& m) override {
        ++admitted;
        std::lock_guard<std::mutex> g(mu);
        callIds.push_back(m.request->call_id->number);
        return status;
    }
    void Answered(const std::string& answer) override {
        std::lock_guard<std::mutex> g(mu);
        answers.push_back(answer);
        ++answeredCount;
    }
};

struct Agent {
    SipAgent ua;
    Handler handler;
    RawUdp dev;
    int port = 0;
    Agent() {
        EXPECT_EQ(ua.Init(), 0);
        EXPECT_EQ(ua.Listen(IPPROTO_UDP, "127.0.0.1", 0, AF_INET, false), 0);
        port = ua.BoundPort();
        ua.SetDirectMessages(&handler);
    }
    ~Agent() { ua.Shutdown(); }
    std::string Message(const std::string& n) {
        return DeviceRequest("MESSAGE", port, dev.Port(), "direct-" + n, "z9hG4bKdirect" + n,
                             "<?xml version=\"1.0\"?><Notify><CmdType>Keepalive</CmdType></Notify>");
    }
};

TEST(DirectMessages, TheHandlersStatusGoesOutAtOnceWithNoEventAndARetransmissionGetsTheSameBytes) {
    for (int status : {200, 403}) {
        SCOPED_TRACE(status);
        Agent a;
        a.handler.status = status;
        const std::string request = a.Message("1");
        a.dev.SendTo(a.port, request);
        const std::string answer = a.dev.Recv(5000);
        ASSERT_EQ(Status(answer), status) << answer;
        EXPECT_NE(answer.find("Call-ID: direct-1\r\n"), std::string::npos) << answer;
        const std::size_t to = answer.find("\r\nTo: ");
        ASSERT_NE(to, std::string::npos) << answer;
        EXPECT_NE(answer.substr(to, answer.find("\r\n", to + 2) - to).find(";tag="), std::string::npos);
        EXPECT_NE(answer.find(";rport=" + std::to_string(a.dev.Port()) + ";"), std::string::npos) << answer;
        a.dev.SendTo(a.port, request);
        EXPECT_EQ(a.dev.Recv(5000), answer);
        EXPECT_EQ(a.ua.WaitEvent(0, 300), nullptr);
        EXPECT_EQ(a.handler.admitted, 1);
        std::lock_guard<std::mutex> g(a.handler.mu);
        ASSERT_EQ(a.handler.answers.size(), 1u);
        EXPECT_EQ(a.handler.answers[0], answer);
    }
}

TEST(DirectMessages, StatusZeroTakesTheUsualWay) {
    Agent a;
    a.handler.status = 0;
    a.dev.SendTo(a.port, a.Message("1"));
    EventPtr e = WaitFor(a.ua, Kind(EventKind::OutOfCallRequest), 5000);
    ASSERT_TRUE(e);
    EXPECT_EQ(a.dev.Recv(200), "");
    EXPECT_EQ(a.ua.SendAnswer(e->tid, 200, nullptr), 0);
    EXPECT_EQ(Status(a.dev.Recv(5000)), 200);
    EXPECT_EQ(a.handler.answeredCount, 0);
}

TEST(DirectMessages, BehindAWaitingOrBusyEventTheMessageWaitsItsTurn) {
    Agent a;
    // A REGISTER waits for the owner: the MESSAGE after it is an event too,
    // in the order of the wire.
    a.ua.InjectInput(DeviceRequest("REGISTER", a.port, a.dev.Port(), "reg-1", "z9hG4bKreg1"), "127.0.0.1",
                     a.dev.Port());
    a.ua.InjectInput(a.Message("1"), "127.0.0.1", a.dev.Port());
    EventPtr first = a.ua.WaitEvent(5, 0);
    ASSERT_TRUE(first);
    EXPECT_EQ(Method(first->request.get()), "REGISTER");
    // The owner is still handling the REGISTER: a new MESSAGE waits too.
    a.ua.InjectInput(a.Message("2"), "127.0.0.1", a.dev.Port());
    for (const char* id : {"direct-1", "direct-2"}) {
        EventPtr e = a.ua.WaitEvent(5, 0);
        ASSERT_TRUE(e) << id;
        EXPECT_EQ(Method(e->request.get()), "MESSAGE");
        EXPECT_STREQ(e->request->call_id->number, id);
    }
    EXPECT_EQ(a.handler.admitted, 0);
    // Idle again (WaitEvent called since): answered on the worker.
    EXPECT_EQ(a.ua.WaitEvent(0, 50), nullptr);
    a.ua.InjectInput(a.Message("3"), "127.0.0.1", a.dev.Port());
    EXPECT_EQ(a.handler.admitted, 1);
}

TEST(DirectMessages, AnEventRaisedAfterADirectAnswerWaitsForItsAnswered) {
    Agent a;
    // Both taken in by this thread: the worker reports the answer later, and
    // the REGISTER's event must not overtake that report.
    a.ua.InjectInput(a.Message("1"), "127.0.0.1", a.dev.Port());
    a.ua.InjectInput(DeviceRequest("REGISTER", a.port, a.dev.Port(), "reg-1", "z9hG4bKreg1"), "127.0.0.1",
                     a.dev.Port());
    EventPtr e = a.ua.WaitEvent(5, 0);
    ASSERT_TRUE(e);
    EXPECT_EQ(Method(e->request.get()), "REGISTER");
    EXPECT_EQ(a.handler.answeredCount, 1);
}

} // namespace

namespace {

TEST(DirectMessages, AnswersKeptForRetransmissionsAreBoundedTheOldestGoFirst) {
    Agent a;
    const std::size_t n = kAnsweredLimit + 1;
    for (std::size_t i = 0; i < n; ++i)
        a.ua.InjectInput(a.Message(std::to_string(i)), "127.0.0.1", a.dev.Port());
    ASSERT_EQ(a.handler.admitted, static_cast<int>(n));
    // The newest is answered again from memory; the oldest was let go and
    // counts as a new request.
    a.ua.InjectInput(a.Message(std::to_string(n - 1)), "127.0.0.1", a.dev.Port());
    EXPECT_EQ(a.handler.admitted, static_cast<int>(n));
    a.ua.InjectInput(a.Message("0"), "127.0.0.1", a.dev.Port());
    EXPECT_EQ(a.handler.admitted, static_cast<int>(n + 1));
}

} // namespace

// Overload from raw sockets: with the event queue at its limit, new requests
// get 503 with Retry-After at once (counted, reported rate-limited), while the
// requests already queued are still answered and the answer to a request of
// ours still gets through; once the queue drains, requests are taken again.

#include "UaTestSupport.h"

#include <gtest/gtest.h>

using namespace sipua;
using namespace uatest;

namespace {

int Status(const std::string& a) { return a.size() > 12 ? std::atoi(a.c_str() + 8) : 0; }

TEST(Overload, BeyondTheQueueLimitNewRequestsGet503WhileOpenOnesComplete) {
    SipAgent ua;
    ASSERT_EQ(ua.Init(), 0);
    ASSERT_EQ(ua.Listen(IPPROTO_UDP, "127.0.0.1", 0, AF_INET, false), 0);
    constexpr int kLimit = 5, kSent = 40;
    ua.SetEventQueueLimit(kLimit);
    const int port = ua.BoundPort();
    RawUdp dev;
    // Our own request first, answered only once the queue is full.
    MessagePtr req;
    const std::string to = "<sip:34010000001320000001@127.0.0.1:" + std::to_string(dev.Port()) + ">";
    ASSERT_EQ(ua.BuildRequest(req, "MESSAGE", to.c_str(), "<sip:34020000002000000001@127.0.0.1>", nullptr), 0);
    ASSERT_GT(ua.SendRequest(std::move(req)), 0);
    const std::string ours = dev.Recv(5000);
    ASSERT_FALSE(ours.empty());

    for (int i = 1; i <= kSent; ++i)
        dev.SendTo(port, DeviceRequest("MESSAGE", port, dev.Port(), "ov-" + std::to_string(i),
                                       "z9hG4bKov" + std::to_string(i), "<Notify/>"));
    int shed = 0;
    for (int i = 0; i < kSent - kLimit; ++i) {
        const std::string a = dev.Recv(5000);
        ASSERT_FALSE(a.empty()) << i;
        EXPECT_EQ(Status(a), 503) << a;
        EXPECT_NE(a.find("\r\nRetry-After: 5\r\n"), std::string::npos) << a;
        shed += Status(a) == 503;
    }
    EXPECT_EQ(shed, kSent - kLimit);
    EXPECT_EQ(ua.ShedCount(), static_cast<std::uint64_t>(kSent - kLimit));

    // The peer answers our request while the queue is full: still reported.
    std::string answer = "SIP/2.0 200 OK\r\n";
    for (const char* h : {"Via: ", "From: ", "To: ", "Call-ID: ", "CSeq: "}) {
        const std::size_t at = ours.find(std::string("\r\n") + h);
        answer += ours.substr(at + 2, ours.find("\r\n", at + 2) - at - 2) + "\r\n";
    }
    dev.SendTo(port, answer + "Content-Length: 0\r\n\r\n");

    // Drain: the queued requests are answered 200, the shed ones reported.
    std::vector<EventPtr> events;
    while (EventPtr e = ua.WaitEvent(1, 0)) events.push_back(std::move(e));
    int queued = 0, reported = 0, answered = 0;
    for (const EventPtr& e : events) {
        if (e->kind == EventKind::OutOfCallRequest) {
            ++queued;
            EXPECT_EQ(ua.SendAnswer(e->tid, 200, nullptr), 0);
        }
        if (e->kind == EventKind::RequestShed) {
            ++reported;
            ASSERT_TRUE(e->response);
            EXPECT_EQ(e->response->status_code, 503);
        }
        answered += e->kind == EventKind::OutOfCallAnswered;
    }
    EXPECT_EQ(queued, kLimit);
    // 35 shed within a second: reported up to the rate limit, all counted.
    EXPECT_EQ(reported, kInvalidEventsPerSecond);
    EXPECT_EQ(answered, 1);
    for (int i = 0; i < kLimit; ++i) EXPECT_EQ(Status(dev.Recv(5000)), 200) << i;

    // Room again: the next request is taken.
    dev.SendTo(port, DeviceRequest("MESSAGE", port, dev.Port(), "ov-after", "z9hG4bKovafter", "<Notify/>"));
    EXPECT_TRUE(WaitFor(ua, Kind(EventKind::OutOfCallRequest), 5000));
}

} // namespace

namespace {

// Requests waiting for their answers, with and without the RFC 3261 branch
// cookie (found by the index or by osip's own search), answered out of order:
// each once, with the bytes handed up for the log, and a retransmission of
// an answered one gets those bytes again without a new event.
TEST(Overload, WaitingRequestsAreAnsweredOnceEachWithTheBytesSent) {
    SipAgent ua;
    ASSERT_EQ(ua.Init(), 0);
    ASSERT_EQ(ua.Listen(IPPROTO_UDP, "127.0.0.1", 0, AF_INET, false), 0);
    ua.SetEventQueueLimit(0);
    const int port = ua.BoundPort();
    RawUdp dev;
    constexpr int kSent = 200;
    struct Case {
        std::string callId, branch;
    };
    std::vector<Case> cases;
    for (int i = 0; i < kSent; ++i)
        cases.push_back({"wait-" + std::to_string(i),
                         (i % 10 == 0 ? "old" : "z9hG4bKwait") + std::to_string(i)});
    for (const Case& c : cases) dev.SendTo(port, DeviceRequest("MESSAGE", port, dev.Port(), c.callId, c.branch, "<Notify/>"));
    // A retransmission before the answer is the same transaction.
    dev.SendTo(port, DeviceRequest("MESSAGE", port, dev.Port(), cases[3].callId, cases[3].branch, "<Notify/>"));
    dev.SendTo(port, DeviceRequest("MESSAGE", port, dev.Port(), cases[10].callId, cases[10].branch, "<Notify/>"));
    std::vector<EventPtr> events;
    while (static_cast<int>(events.size()) < kSent)
        if (EventPtr e = ua.WaitEvent(2, 0)) {
            if (e->kind == EventKind::OutOfCallRequest) events.push_back(std::move(e));
        } else {
            break;
        }
    ASSERT_EQ(events.size(), static_cast<std::size_t>(kSent));
    EXPECT_EQ(ua.WaitEvent(0, 300), nullptr) << "a retransmission raised an event";
    std::map<std::string, std::string> sentByCallId;
    for (auto it = events.rbegin(); it != events.rend(); ++it) {
        std::string sent;
        ASSERT_EQ(ua.SendAnswer((*it)->tid, 200, nullptr, &sent), 0);
        const std::string callId = (*it)->request->call_id->number;
        EXPECT_EQ(sent.rfind("SIP/2.0 200 OK\r\n", 0), 0u) << sent;
        EXPECT_NE(sent.find(callId), std::string::npos) << sent;
        sentByCallId[callId] = sent;
        EXPECT_NE(ua.SendAnswer((*it)->tid, 200, nullptr), 0) << "answered twice";
        // Read at once: the test socket's buffer holds fewer than kSent answers.
        EXPECT_EQ(dev.Recv(5000), sent) << "the bytes on the wire are the bytes logged";
    }
    EXPECT_EQ(sentByCallId.size(), static_cast<std::size_t>(kSent));
    EXPECT_EQ(dev.Recv(300), "") << "an answer went out twice";
    // Answered with the cookie: the retransmission gets the same bytes again.
    dev.SendTo(port, DeviceRequest("MESSAGE", port, dev.Port(), cases[7].callId, cases[7].branch, "<Notify/>"));
    EXPECT_EQ(dev.Recv(5000), sentByCallId[cases[7].callId]);
    EXPECT_EQ(ua.WaitEvent(0, 300), nullptr);
}

} // namespace

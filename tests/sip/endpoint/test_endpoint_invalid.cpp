// Input that is no SIP message reaches the log as a row of its own: role
// Invalid, filed under its source, the reason in the head and the bytes
// escaped in the body; the endpoint counts it.

#include "sip/endpoint/CSIP.h"
#include "sip/ua/UaTestSupport.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

namespace {

struct Rows : ISipEvents {
    std::mutex m;
    std::condition_variable cv;
    std::vector<LoggedMessage> rows;
    void OnMessageLogged(const LoggedMessage& r) override {
        {
            std::lock_guard<std::mutex> lk(m);
            rows.push_back(r);
        }
        cv.notify_all();
    }
    void OnDeviceRegistered(const DeviceAddress&) override {}
    void OnCallAnswered(int, int, const std::string&) override {}
    void OnCallClosed(int, int) override {}
};

TEST(EndpointInvalid, GarbageIsLoggedEscapedUnderItsSourceAndCounted) {
    CSIP sip;
    Rows rows;
    SipSettings s;
    s.port = 0;
    s.address = "127.0.0.1";
    s.id = "34020000002000000001";
    ASSERT_EQ(sip.Start(0, s, rows), 0);
    uatest::RawUdp dev;
    dev.SendTo(sip.BoundPort(), std::string("GET / HTTP/1.0\r\nX: \x01\xff\\\r\n\r\n", 26));
    std::unique_lock<std::mutex> lk(rows.m);
    ASSERT_TRUE(rows.cv.wait_for(lk, std::chrono::seconds(5), [&] { return !rows.rows.empty(); }));
    const LoggedMessage& r = rows.rows[0];
    EXPECT_EQ(r.role, LoggedMessage::Role::Invalid);
    EXPECT_EQ(r.direction, kLogReceived);
    EXPECT_EQ(r.deviceId, "127.0.0.1:" + std::to_string(dev.Port()));
    EXPECT_EQ(r.head, "not parsed as a SIP message, from " + r.deviceId + "\n");
    EXPECT_EQ(r.body, "GET / HTTP/1.0\\r\\n\nX: \\x01\\xff\\\\\\r\\n\n\\r\\n\n\n");
    EXPECT_EQ(sip.InvalidInputCount(), 1u);
}

TEST(EndpointInvalid, EachSourceIsCountedApart) {
    CSIP sip;
    Rows rows;
    SipSettings s;
    s.port = 0;
    s.address = "127.0.0.1";
    s.id = "34020000002000000001";
    EXPECT_TRUE(sip.InvalidInputBySource().empty());
    ASSERT_EQ(sip.Start(0, s, rows), 0);
    uatest::RawUdp a, b;
    const std::string framing = "MESSAGE sip:x SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1\r\n"; // no end of its head
    for (int i = 0; i < 3; ++i) a.SendTo(sip.BoundPort(), "garbage " + std::to_string(i));
    b.SendTo(sip.BoundPort(), framing);
    {
        std::unique_lock<std::mutex> lk(rows.m);
        ASSERT_TRUE(rows.cv.wait_for(lk, std::chrono::seconds(5), [&] { return rows.rows.size() >= 4; }));
    }
    const auto by = sip.InvalidInputBySource();
    ASSERT_EQ(by.size(), 2u);
    EXPECT_EQ(by.at("127.0.0.1:" + std::to_string(a.Port())), 3u);
    EXPECT_EQ(by.at("127.0.0.1:" + std::to_string(b.Port())), 1u);
    EXPECT_EQ(sip.InvalidInputCount(), 4u);
    sip.Stop();
    EXPECT_TRUE(sip.InvalidInputBySource().empty());
}

TEST(EndpointInvalid, EscapeKeepsPrintableTextAndShowsEveryOtherByte) {
    const struct {
        std::string in, out;
    } rows[] = {
        {"abc", "abc"},
        {std::string("\0", 1), "\\x00"},
        {"a\tb\\", "a\\tb\\\\"},
        {"\xd6\xd0", "\\xd6\\xd0"},
        {"x\r\ny", "x\\r\\n\ny"},
    };
    for (const auto& r : rows) EXPECT_EQ(EscapeBytes(r.in), r.out);
}

} // namespace

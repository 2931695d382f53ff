// Input that cannot be a SIP message, from raw sockets: each kind is counted
// per source and reported with its reason and bytes, the reports are limited
// to kInvalidEventsPerSecond while the count goes on, a stream whose framing
// is lost is reported before it is closed, and a well-formed MESSAGE among
// the garbage still gets its event.

#include "UaTestSupport.h"

#include <gtest/gtest.h>

using namespace sipua;
using namespace uatest;

namespace {

class Invalid : public ::testing::Test {
protected:
    void Start(int protocol) {
        ASSERT_EQ(ua.Init(), 0);
        ASSERT_EQ(ua.Listen(protocol, "127.0.0.1", 0, AF_INET, false), 0);
        port = ua.BoundPort();
    }
    SipAgent ua;
    int port = 0;
};

TEST_F(Invalid, EachKindOfGarbageIsCountedPerSourceAndReportedWithItsBytes) {
    Start(IPPROTO_UDP);
    RawUdp a, b;
    const std::string head = "MESSAGE sip:x@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:9;branch=z9hG4bKi\r\n"
                             "From: <sip:d@127.0.0.1>;tag=1\r\nTo: <sip:x@127.0.0.1>\r\nCall-ID: i1\r\n"
                             "CSeq: 1 MESSAGE\r\n";
    struct Row {
        std::string bytes;
        const char* why;
    } rows[] = {
        {std::string("\x16\x03\x01\x00\xa5\x01\x00", 7), "no end of the header section"},
        {"hello world\r\n\r\n", "not parsed as a SIP message"},
        {head + "Content-Length: x1\r\n\r\n", "unreadable Content-Length"},
        {head + "Content-Length: 50\r\n\r\n<short/>", "body shorter than its Content-Length"},
        {"MESSAGE sip:x@127.0.0.1 SIP/2.0\r\nCall-ID: nv\r\nCSeq: 1 MESSAGE\r\nContent-Length: 0\r\n\r\n", "no Via"},
    };
    for (const Row& r : rows) {
        a.SendTo(port, r.bytes);
        auto e = WaitFor(ua, Kind(EventKind::InvalidInput), 5000);
        ASSERT_TRUE(e) << r.why;
        EXPECT_EQ(e->text, r.why);
        EXPECT_EQ(e->sourcePort, a.Port());
        EXPECT_EQ(e->sourceHost, "127.0.0.1");
        EXPECT_EQ(e->datagramBody, r.bytes) << r.why;
    }
    b.SendTo(port, "garbage\r\n\r\n");
    ASSERT_TRUE(WaitFor(ua, Kind(EventKind::InvalidInput), 5000));
    EXPECT_EQ(ua.InvalidInputCount(), 6u);
    const auto by = ua.InvalidInputBySource();
    EXPECT_EQ(by.at("127.0.0.1:" + std::to_string(a.Port())), 5u);
    EXPECT_EQ(by.at("127.0.0.1:" + std::to_string(b.Port())), 1u);
    // A well-formed MESSAGE still goes through.
    a.SendTo(port, DeviceRequest("MESSAGE", port, a.Port(), "ok-1", "z9hG4bKok1", "<Notify/>"));
    EXPECT_TRUE(WaitFor(ua, Kind(EventKind::OutOfCallRequest), 5000));
}

TEST_F(Invalid, ReportsAreRateLimitedWhileEveryOneIsCounted) {
    Start(IPPROTO_UDP);
    RawUdp a;
    constexpr int kSent = 200;
    for (int i = 0; i < kSent; ++i) a.SendTo(port, "junk " + std::to_string(i));
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (ua.InvalidInputCount() < kSent && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(ua.InvalidInputCount(), static_cast<std::uint64_t>(kSent));
    int reported = 0;
    while (EventPtr e = ua.WaitEvent(0, 200)) reported += e->kind == EventKind::InvalidInput;
    // All sent within a second or two: one or two windows of reports.
    EXPECT_GE(reported, kInvalidEventsPerSecond);
    EXPECT_LE(reported, 3 * kInvalidEventsPerSecond);
}

TEST_F(Invalid, StreamWhoseFramingIsLostIsReportedThenClosed) {
    Start(IPPROTO_TCP);
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    const std::string bad = "MESSAGE sip:x SIP/2.0\r\nContent-Length: -5\r\n\r\n";
    ASSERT_EQ(send(fd, bad.data(), bad.size(), 0), static_cast<ssize_t>(bad.size()));
    auto e = WaitFor(ua, Kind(EventKind::InvalidInput), 5000);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->text, "stream framing lost");
    EXPECT_EQ(e->datagramBody, bad);
    EXPECT_EQ(ua.InvalidInputCount(), 1u);
    char c;
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    EXPECT_EQ(recv(fd, &c, 1, 0), 0); // closed by the agent
    close(fd);
}

} // namespace

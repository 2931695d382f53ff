// CRTPSession: set-up for each transport, frames handed to the callback,
// reports and BYE to the device, teardown, bad input over TCP.

#include "media/MediaTestUtil.h"
#include "media/recv/CRTPSession.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <filesystem>
#include <random>
#include <mutex>
#include <poll.h>

namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

struct Frames {
    std::mutex m;
    std::vector<Bytes> got;
    static void On(void* user, unsigned char* f, int32_t n) {
        auto* self = static_cast<Frames*>(user);
        std::lock_guard<std::mutex> l(self->m);
        self->got.emplace_back(f, f + n);
    }
    std::size_t Count() {
        std::lock_guard<std::mutex> l(m);
        return got.size();
    }
    bool WaitFor(std::size_t n, std::chrono::milliseconds within = 5000ms) {
        auto end = std::chrono::steady_clock::now() + within;
        while (Count() < n && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(10ms);
        return Count() >= n;
    }
};

// One program-stream frame holding one video PES with the given payload.
Bytes PsFrame(const Bytes& es) {
    Bytes v = {0, 0, 1, 0xBA, 0x44, 0, 4, 0, 4, 1, 1, 0x89, 0xC3, 0xF8, 0, 0, 1, 0xE0};
    int len = 3 + static_cast<int>(es.size());
    v.push_back(static_cast<uint8_t>(len >> 8));
    v.push_back(static_cast<uint8_t>(len));
    v.insert(v.end(), {0x80, 0, 0});
    v.insert(v.end(), es.begin(), es.end());
    return v;
}

// Connects to 127.0.0.1:port, from the given local address.
int TcpConnect(uint16_t port, const char* from = nullptr) {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (from) {
        sockaddr_in l{};
        l.sin_family = AF_INET;
        inet_pton(AF_INET, from, &l.sin_addr);
        ::bind(s, reinterpret_cast<sockaddr*>(&l), sizeof l);
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int k = 0; k < 100; ++k) {
        if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return s;
        std::this_thread::sleep_for(20ms);
    }
    ::close(s);
    return -1;
}

void SendFramed(int s, const Bytes& pkt) {
    Bytes f = {static_cast<uint8_t>(pkt.size() >> 8), static_cast<uint8_t>(pkt.size())};
    f.insert(f.end(), pkt.begin(), pkt.end());
    ::send(s, f.data(), f.size(), MSG_NOSIGNAL);
}

// Reads RTCP frames from a TCP connection until one of the wanted type arrives.
bool SawRtcpType(int s, int type, int ms) {
    Bytes in;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    pollfd p{s, POLLIN, 0};
    while (std::chrono::steady_clock::now() < end) {
        if (::poll(&p, 1, 50) <= 0) continue;
        uint8_t b[4096];
        ssize_t n = ::recv(s, b, sizeof b, 0);
        if (n <= 0) return false;
        in.insert(in.end(), b, b + n);
        while (in.size() >= 2 && in.size() >= 2u + (in[0] << 8 | in[1])) {
            std::size_t len = in[0] << 8 | in[1];
            Bytes f(in.begin() + 2, in.begin() + 2 + len);
            in.erase(in.begin(), in.begin() + 2 + len);
            for (int t : mt::RtcpTypes(f))
                if (t == type) return true;
        }
    }
    return false;
}

bool FdOpen(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

TEST(Receiver, PortZeroIsRefusedWithTheMessage) {
    CRTPSession s;
    testing::internal::CaptureStdout();
    EXPECT_EQ(s.RTP_Setup(0, 0, "127.0.0.1", 90000), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "CRTPSession::RTP_Setup: Invalid CMediaSession::RTPPort\n");
    EXPECT_FALSE(s.IsActive());
    EXPECT_FALSE(s.m_hRecv.IsRunning());
}

TEST(Receiver, UdpOddPortOrPortInUseFailsWithoutReceiveThread) {
    uint16_t p = mt::FreePortBase();
    CRTPSession a, b, c;
    a.SetLocalAddress(INADDR_LOOPBACK);
    EXPECT_EQ(a.RTP_Setup(p + 1, 0, "127.0.0.1", 90000), -1);
    EXPECT_FALSE(a.m_hRecv.IsRunning());
    b.SetLocalAddress(INADDR_LOOPBACK);
    c.SetLocalAddress(INADDR_LOOPBACK);
    ASSERT_EQ(b.RTP_Setup(p, 0, "127.0.0.1", 90000), 1);
    EXPECT_TRUE(b.m_hRecv.IsRunning());
    EXPECT_EQ(c.RTP_Setup(p, 0, "127.0.0.1", 90000), -1);
    EXPECT_FALSE(c.m_hRecv.IsRunning());
}

// The device at 127.0.0.2 gets the receiver's reports at the receiver's own
// port + 1, and a BYE at teardown; frames reach the callback.
TEST(Receiver, UdpFramesToCallbackReportsToDevicePortPlusOneAndByeAtTeardown) {
    uint16_t p = mt::FreePortBase();
    int devRtcp = mt::UdpSocket(p + 1, "127.0.0.2");
    ASSERT_GE(devRtcp, 0);
    int devRtp = mt::UdpSocket(0, "127.0.0.2");
    Frames frames;
    CRTPSession s;
    s.SetLocalAddress(INADDR_LOOPBACK);
    ASSERT_EQ(s.RTP_Setup(p, 0, "127.0.0.2", 90000), 1);
    s.SetFrameCallback(&Frames::On, &frames);
    mt::RtpSpec r;
    for (int k = 0; k < 4; ++k) {
        r.seq = static_cast<uint16_t>(k);
        r.ts = 1000 + 3600 * static_cast<uint32_t>(k);
        mt::SendUdp(devRtp, p, mt::MakeRtp(r, PsFrame({0, 0, 1, static_cast<uint8_t>(0x40 + k)})));
    }
    ASSERT_TRUE(frames.WaitFor(3));
    {
        std::lock_guard<std::mutex> l(frames.m);
        EXPECT_EQ(frames.got[0], (Bytes{0, 0, 1, 0x40}));
        EXPECT_EQ(frames.got[2], (Bytes{0, 0, 1, 0x42}));
    }
    EXPECT_EQ(s.LastOutputLength(), 4);
    bool rr = false;
    for (int k = 0; k < 8 && !rr; ++k) {
        auto t = mt::RtcpTypes(mt::RecvUdp(devRtcp, 1000));
        rr = !t.empty() && t[0] == 201;
    }
    EXPECT_TRUE(rr);
    s.SetFrameCallback(nullptr, nullptr);
    s.RTP_Teardown();
    bool bye = false;
    for (int k = 0; k < 5 && !bye; ++k) {
        auto t = mt::RtcpTypes(mt::RecvUdp(devRtcp, 500));
        bye = !t.empty() && t.back() == 203;
    }
    EXPECT_TRUE(bye);
    ::close(devRtp);
    ::close(devRtcp);
}

// A source heard over UDP becomes a destination too: its sending port + 1
// gets the reports, whatever address the set-up named.
TEST(Receiver, UdpSourceHeardGetsReportsAtItsPortPlusOne) {
    uint16_t p = mt::FreePortBase();
    uint16_t q = mt::FreePortBase();
    while (q == p)
        q = mt::FreePortBase();
    int devRtp = mt::UdpSocket(q), devRtcp = mt::UdpSocket(q + 1);
    ASSERT_GE(devRtcp, 0);
    CRTPSession s;
    s.SetLocalAddress(INADDR_LOOPBACK);
    ASSERT_EQ(s.RTP_Setup(p, 0, "127.0.0.3", 90000), 1);
    mt::RtpSpec r;
    r.ssrc = 0x600DF00D;
    for (int k = 0; k < 3; ++k) {
        r.seq = static_cast<uint16_t>(k);
        mt::SendUdp(devRtp, p, mt::MakeRtp(r, {0}));
    }
    bool block = false;
    for (int k = 0; k < 8 && !block; ++k) {
        auto d = mt::RecvUdp(devRtcp, 1000);
        auto t = mt::RtcpTypes(d);
        // A receiver report with one block about our source.
        block = !t.empty() && t[0] == 201 && (d[0] & 0x1F) == 1 && d.size() >= 12 && d[8] == 0x60 &&
                d[9] == 0x0D && d[10] == 0xF0 && d[11] == 0x0D;
    }
    EXPECT_TRUE(block);
    ::close(devRtp);
    ::close(devRtcp);
}

TEST(Receiver, PacketsWithoutCallbackAreTakenAndDropped) {
    uint16_t p = mt::FreePortBase();
    int dev = mt::UdpSocket(0);
    Frames frames;
    CRTPSession s;
    s.SetLocalAddress(INADDR_LOOPBACK);
    ASSERT_EQ(s.RTP_Setup(p, 0, "127.0.0.1", 90000), 1);
    mt::RtpSpec r;
    for (int k = 0; k < 6; ++k) {
        r.seq = static_cast<uint16_t>(k);
        r.ts = 10 + static_cast<uint32_t>(k);
        mt::SendUdp(dev, p, mt::MakeRtp(r, PsFrame({1})));
    }
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(s.WaitForData(0ms)); // taken by the receive thread
    s.SetFrameCallback(&Frames::On, &frames);
    for (int k = 6; k < 9; ++k) {
        r.seq = static_cast<uint16_t>(k);
        r.ts = 10 + static_cast<uint32_t>(k);
        mt::SendUdp(dev, p, mt::MakeRtp(r, PsFrame({2})));
    }
    ASSERT_TRUE(frames.WaitFor(2));
    // The first frame after the callback is set opened with packet 6.
    std::lock_guard<std::mutex> l(frames.m);
    EXPECT_EQ(frames.got[0], Bytes{2});
    ::close(dev);
}

TEST(Receiver, TeardownTwiceClosesNothingTwice) {
    uint16_t p = mt::FreePortBase();
    auto s = std::make_unique<CRTPSession>();
    ASSERT_EQ(s->RTP_Setup(p, 2, nullptr, 90000), 1);
    int c = TcpConnect(p);
    ASSERT_GE(c, 0);
    auto end = std::chrono::steady_clock::now() + 3s;
    while (s->AcceptedCount() < 1 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(s->AcceptedCount(), 1u);
    s->RTP_Teardown();
    // Descriptors opened now reuse the numbers just closed; a second close
    // of the old numbers would hit them.
    int fds[4];
    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_EQ(::pipe(fds + 2), 0);
    s->RTP_Teardown();
    s.reset(); // runs the teardown a third time
    for (int fd : fds) {
        EXPECT_TRUE(FdOpen(fd));
        ::close(fd);
    }
    ::close(c);
}

TEST(Receiver, ListeningAcceptsTwoConnectionsBothDestinations) {
    uint16_t p = mt::FreePortBase();
    Frames frames;
    CRTPSession s;
    s.SetFrameCallback(&Frames::On, &frames);
    ASSERT_EQ(s.RTP_Setup(p, 2, nullptr, 90000), 1);
    EXPECT_TRUE(s.TransportReady());
    int a = TcpConnect(p), b = TcpConnect(p);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    auto end = std::chrono::steady_clock::now() + 3s;
    while (s.AcceptedCount() < 2 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(s.AcceptedCount(), 2u);
    // Both get the receiver reports (the first within 0.6 to 3.1 s).
    EXPECT_TRUE(SawRtcpType(a, 201, 6000));
    EXPECT_TRUE(SawRtcpType(b, 201, 6000));
    // Media on the first connection reaches the callback.
    mt::RtpSpec r;
    for (int k = 0; k < 3; ++k) {
        r.seq = static_cast<uint16_t>(k);
        r.ts = static_cast<uint32_t>(100 + k);
        SendFramed(a, mt::MakeRtp(r, PsFrame({9, static_cast<uint8_t>(k)})));
    }
    EXPECT_TRUE(frames.WaitFor(2));
    s.SetFrameCallback(nullptr, nullptr);
    s.RTP_Teardown();
    EXPECT_TRUE(SawRtcpType(a, 203, 2000));
    EXPECT_TRUE(SawRtcpType(b, 203, 2000));
    ::close(a);
    ::close(b);
}

TEST(Receiver, ConnectingBindsTheReceiverPortAndReachesDevicePortPlusTwo) {
    uint16_t p = mt::FreePortBase();
    int ls = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    ::setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(p + 2);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(ls, 5), 0);
    Frames frames;
    CRTPSession s;
    s.SetFrameCallback(&Frames::On, &frames);
    ASSERT_EQ(s.RTP_Setup(p, 1, "127.0.0.1", 90000), 1);
    EXPECT_TRUE(s.TransportReady());
    sockaddr_in peer{};
    socklen_t pl = sizeof peer;
    int c = ::accept(ls, reinterpret_cast<sockaddr*>(&peer), &pl);
    ASSERT_GE(c, 0);
    EXPECT_EQ(ntohs(peer.sin_port), p);
    mt::RtpSpec r;
    for (int k = 0; k < 3; ++k) {
        r.seq = static_cast<uint16_t>(k);
        r.ts = static_cast<uint32_t>(7 + k);
        SendFramed(c, mt::MakeRtp(r, PsFrame({static_cast<uint8_t>(k)})));
    }
    EXPECT_TRUE(frames.WaitFor(2));
    s.SetFrameCallback(nullptr, nullptr);
    s.RTP_Teardown();
    EXPECT_TRUE(SawRtcpType(c, 203, 2000));
    ::close(c);
    ::close(ls);
}

TEST(Receiver, ConnectingToNobodyStillSetsUpAndReportsNotReady) {
    uint16_t p = mt::FreePortBase();
    CRTPSession s;
    EXPECT_EQ(s.RTP_Setup(p, 1, "127.0.0.1", 90000), 1);
    EXPECT_FALSE(s.TransportReady());
    EXPECT_TRUE(s.m_hRecv.IsRunning());
}

// Bad input over TCP: zero-length frames, junk, headers pointing past the
// packet, a PES length past the frame, a 17 MB frame, an unfinished frame at
// the end. The good frames around them still arrive.
TEST(Receiver, BadInputOverTcpIsSurvivedAndTheStreamGoesOn) {
    uint16_t p = mt::FreePortBase();
    Frames frames;
    CRTPSession s;
    s.SetFrameCallback(&Frames::On, &frames);
    ASSERT_EQ(s.RTP_Setup(p, 2, nullptr, 90000), 1);
    int c = TcpConnect(p);
    ASSERT_GE(c, 0);
    mt::RtpSpec r;
    uint16_t seq = 65000;
    uint32_t ts = 1;
    auto good = [&](uint8_t tag) {
        r.seq = seq++;
        r.ts = ts++;
        SendFramed(c, mt::MakeRtp(r, PsFrame({0, 0, 1, tag})));
    };
    good(1);
    good(2);
    ::send(c, "\0\0", 2, MSG_NOSIGNAL);
    SendFramed(c, {0x8F, 96, 0, 1, 0, 0, 0, 1, 1, 2, 3, 4});
    SendFramed(c, {0x90, 96, 0, 1, 0, 0, 0, 1, 1, 2, 3, 4, 0xBE, 0xDE, 0xFF, 0xFF});
    SendFramed(c, {0xA0, 96, 0, 1, 0, 0, 0, 1, 1, 2, 3, 4, 0xFF});
    SendFramed(c, Bytes(100, 0xAB));
    // A PES whose length runs past the frame.
    r.seq = seq++;
    r.ts = ts++;
    SendFramed(c, mt::MakeRtp(r, {0, 0, 1, 0xE0, 0xFF, 0xFF, 0x80, 0, 0, 1, 2, 3}));
    good(3);
    // 17 MB in one timestamp, 65000 bytes at a time; it grows the buffers to
    // their 16 MiB limit and is cut there.
    Bytes big(65000, 0);
    r.ts = ts++;
    for (int k = 0; k < 262; ++k) {
        r.seq = seq++;
        SendFramed(c, mt::MakeRtp(r, big));
    }
    good(4);
    good(5);
    ::send(c, "\xff\xf0\x80\x60", 4, MSG_NOSIGNAL); // a frame that never completes
    ASSERT_TRUE(frames.WaitFor(6, 20000ms));
    std::lock_guard<std::mutex> l(frames.m);
    EXPECT_EQ(frames.got[0], (Bytes{0, 0, 1, 1}));
    EXPECT_EQ(frames.got[1], (Bytes{0, 0, 1, 2}));
    EXPECT_TRUE(frames.got[2].empty()); // the PES that runs past its frame
    EXPECT_EQ(frames.got[3], (Bytes{0, 0, 1, 3}));
    EXPECT_TRUE(frames.got[4].empty()); // zeros: no program stream inside
    EXPECT_EQ(frames.got[5], (Bytes{0, 0, 1, 4}));
    ::close(c);
}

std::size_t OpenDescriptors() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

template <class F> bool WaitUntil(F f, std::chrono::milliseconds within = 10000ms) {
    auto end = std::chrono::steady_clock::now() + within;
    while (!f()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// 1,500 connections from elsewhere, most closed at once, up to 100 held idle:
// the receiver never holds more than its limit, closes what ends, and the
// device's own connection still gets its stream through.
TEST(Receiver, ConnectionFloodStaysBoundedAndTheDeviceStillStreams) {
    uint16_t p = mt::FreePortBase();
    Frames frames;
    CRTPSession s;
    s.SetFrameCallback(&Frames::On, &frames);
    const std::size_t before = OpenDescriptors();
    ASSERT_EQ(s.RTP_Setup(p, 2, "127.0.0.1", 90000), 1);
    std::deque<int> held;
    std::size_t most = 0;
    for (int k = 0; k < 1500; ++k) {
        int c = TcpConnect(p, "127.0.0.3");
        ASSERT_GE(c, 0);
        if (k % 3 == 0) {
            held.push_back(c);
        } else {
            ::close(c);
        }
        if (held.size() > 100) {
            ::close(held.front());
            held.pop_front();
        }
        most = std::max(most, s.AcceptedCount());
    }
    EXPECT_LE(most, CRTPSession::kMaxConnections);
    // The device connects while the idle ones are still there.
    int dev = TcpConnect(p, "127.0.0.1");
    ASSERT_GE(dev, 0);
    mt::RtpSpec r;
    for (int k = 0; k < 5; ++k) {
        r.seq = static_cast<uint16_t>(k);
        r.ts = static_cast<uint32_t>(100 + k);
        SendFramed(dev, mt::MakeRtp(r, PsFrame({0, 0, 1, static_cast<uint8_t>(k)})));
    }
    ASSERT_TRUE(frames.WaitFor(4, 10000ms));
    {
        std::lock_guard<std::mutex> l(frames.m);
        EXPECT_EQ(frames.got[3], (Bytes{0, 0, 1, 3}));
    }
    // Everything the flood left is closed and forgotten; the device stays.
    for (int c : held)
        ::close(c);
    EXPECT_TRUE(WaitUntil([&] { return s.AcceptedCount() == 1; }));
    EXPECT_LE(OpenDescriptors(), before + 8 + 1); // the session's own, the device's
    ::close(dev);
    EXPECT_TRUE(WaitUntil([&] { return s.AcceptedCount() == 0; }));
}

// Random SSRCs from another address while the device streams: the source
// table stays bounded, the device's stream is followed throughout and every
// frame of it arrives whole.
TEST(Receiver, RandomSsrcsFromElsewhereNeitherGrowNorDisplaceTheStream) {
    uint16_t p = mt::FreePortBase();
    Frames frames;
    CRTPSession s;
    s.SetLocalAddress(INADDR_LOOPBACK);
    ASSERT_EQ(s.RTP_Setup(p, 0, "127.0.0.1", 90000), 1);
    s.SetFrameCallback(&Frames::On, &frames);
    int dev = mt::UdpSocket(0, "127.0.0.1"), noise = mt::UdpSocket(0, "127.0.0.2");
    std::mt19937 rng(7);
    mt::RtpSpec r;
    r.ssrc = 0; // the device's SSRC is 0
    std::size_t most = 0;
    for (int k = 0; k < 40; ++k) {
        r.seq = static_cast<uint16_t>(k);
        r.ts = static_cast<uint32_t>(3600 * (k + 1));
        mt::SendUdp(dev, p, mt::MakeRtp(r, PsFrame({0, 0, 1, static_cast<uint8_t>(k)})));
        for (int n = 0; n < 100; ++n) {
            mt::RtpSpec q;
            q.ssrc = static_cast<uint32_t>(rng());
            q.seq = static_cast<uint16_t>(rng());
            q.ts = static_cast<uint32_t>(rng());
            for (int twice = 0; twice < 2; ++twice, ++q.seq)
                mt::SendUdp(noise, p, mt::MakeRtp(q, PsFrame({0, 0, 1, 0xEE})));
        }
        most = std::max(most, s.GetSourceCount());
        std::this_thread::sleep_for(2ms);
    }
    const Bytes last = {0, 0, 1, 38};
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard<std::mutex> l(frames.m);
        return !frames.got.empty() && frames.got.back() == last;
    }));
    EXPECT_LE(most, CRTPSession::kMaxSources);
    EXPECT_GT(s.GetSourcesEvicted(), 0u);
    uint32_t followed = 1;
    EXPECT_TRUE(s.CurrentSsrc(followed));
    EXPECT_EQ(followed, 0u);
    // Noise heard before the device may be followed first (the first heard
    // wins); once the device is heard its frames come, all and in order.
    std::lock_guard<std::mutex> l(frames.m);
    auto first = std::find(frames.got.begin(), frames.got.end(), Bytes{0, 0, 1, 0});
    ASSERT_EQ(frames.got.end() - first, 39);
    for (int k = 0; k < 39; ++k)
        EXPECT_EQ(first[k], (Bytes{0, 0, 1, static_cast<uint8_t>(k)})) << k;
}

// A device restarts its stream with a new SSRC, and the old source's last
// packet comes after the new source's first ones (loopback does this when the
// sender moves to another CPU): the stream stays with the new source, every one
// of its frames whole and in order; the late packet is dropped, not followed
// back (which handed out the new source's frame early and the stray one between).
TEST(Receiver, OldSourcesLatePacketAfterAnSsrcChangeDoesNotTakeTheStreamBack) {
    uint16_t p = mt::FreePortBase();
    Frames frames;
    CRTPSession s;
    s.SetLocalAddress(INADDR_LOOPBACK);
    ASSERT_EQ(s.RTP_Setup(p, 0, "127.0.0.1", 90000), 1);
    s.SetFrameCallback(&Frames::On, &frames);
    int dev = mt::UdpSocket(0, "127.0.0.1");
    auto send = [&](uint32_t ssrc, int k) {
        mt::RtpSpec r;
        r.ssrc = ssrc;
        r.seq = static_cast<uint16_t>(ssrc == 0xA ? k : 20000 + k);
        r.ts = static_cast<uint32_t>(3600 * k + (ssrc == 0xA ? 0 : 9000000));
        r.marker = true;
        mt::SendUdp(dev, p, mt::MakeRtp(r, PsFrame({0, 0, 1, static_cast<uint8_t>(k)})));
    };
    for (int k = 0; k < 5; ++k)
        send(0xA, k);
    ASSERT_TRUE(frames.WaitFor(4));
    send(0xB, 5); // the new source is valid after two packets in sequence
    send(0xB, 6);
    uint32_t followed = 0;
    ASSERT_TRUE(WaitUntil([&] { return s.CurrentSsrc(followed) && followed == 0xB; }));
    ASSERT_TRUE(frames.WaitFor(6)); // the old source's last frame, then the new one's first
    send(0xA, 50);                  // late
    std::this_thread::sleep_for(50ms);
    send(0xB, 7);
    send(0xB, 8);
    ASSERT_TRUE(frames.WaitFor(8));
    std::this_thread::sleep_for(100ms); // nothing more may come
    EXPECT_TRUE(s.CurrentSsrc(followed));
    EXPECT_EQ(followed, 0xBu);
    std::lock_guard<std::mutex> l(frames.m);
    std::vector<Bytes> want;
    for (int k = 0; k < 8; ++k)
        want.push_back({0, 0, 1, static_cast<uint8_t>(k)});
    EXPECT_EQ(frames.got, want);
    ::close(dev);
}

// The UDP socket asks for 2 MiB; where the system grants less, one line on
// standard error says so.
TEST(Receiver, UdpReceiveBufferIsTwoMebibytesOrSaysWhyNot) {
    uint16_t p = mt::FreePortBase();
    CRTPSession s;
    s.SetLocalAddress(INADDR_LOOPBACK);
    testing::internal::CaptureStderr();
    ASSERT_EQ(s.RTP_Setup(p, 0, "127.0.0.1", 90000), 1);
    const std::string err = testing::internal::GetCapturedStderr();
    const int granted = s.GetUdpReceiveBuffer() / 2; // Linux reports twice what it keeps
    if (granted >= CRTPSession::kUdpReceiveBuffer) {
        EXPECT_EQ(err, "");
    } else {
        EXPECT_NE(err.find("UDP receive buffer of port " + std::to_string(p) + " is " +
                           std::to_string(granted) + " bytes"),
                  std::string::npos)
            << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
    }
    EXPECT_GT(granted, 65536);
}

} // namespace

namespace {

// The answer's y= SSRC and payload type: a source with that SSRC is followed
// as soon as it is heard, even from another address than the device's, and
// keeps the stream against the device's address; packets of the payload type
// the answer did not name never make a source the followed one.
TEST(Receiver, TheAnswersSsrcAndPayloadTypeAreFollowed) {
    const uint16_t p = mt::FreePortBase();
    const int device = mt::UdpSocket(0, "127.0.0.1"), other = mt::UdpSocket(0, "127.0.0.5");
    ASSERT_GE(device, 0);
    ASSERT_GE(other, 0);
    Frames frames;
    CRTPSession s;
    s.SetLocalAddress(INADDR_LOOPBACK);
    s.SetStreamFormat(98, CRTPSession::Format::Ps);
    s.SetExpectedSsrc(0xAAAA0001u);
    ASSERT_EQ(s.RTP_Setup(p, 0, "127.0.0.1", 90000), 1);
    s.SetFrameCallback(&Frames::On, &frames);
    uint16_t seq = 0;
    uint32_t ts = 0;
    auto send = [&](int sock, uint32_t ssrc, uint8_t pt, uint8_t tag) {
        mt::RtpSpec r;
        r.ssrc = ssrc;
        r.pt = pt;
        r.seq = seq++;
        r.ts = ts += 3600;
        mt::SendUdp(sock, p, mt::MakeRtp(r, PsFrame({0, 0, 1, tag})));
    };
    auto followed = [&] {
        uint32_t ssrc = 0;
        return s.CurrentSsrc(ssrc) ? ssrc : 0u;
    };
    struct Step {
        const char* what;
        int sock;
        uint32_t ssrc;
        uint8_t pt;
        uint32_t followedAfter;
    } steps[] = {
        {"payload type 96 makes nobody followed", device, 0xBBBB0002u, 96, 0},
        {"the device's source in 98 is followed first", device, 0xBBBB0002u, 98, 0xBBBB0002u},
        {"the answer's SSRC takes over from elsewhere", other, 0xAAAA0001u, 98, 0xAAAA0001u},
        {"and keeps it against the device's address", device, 0xCCCC0003u, 98, 0xAAAA0001u},
    };
    for (const Step& st : steps) {
        SCOPED_TRACE(st.what);
        seq = static_cast<uint16_t>(seq + 100); // each source numbers on its own
        for (int k = 0; k < 4; ++k) send(st.sock, st.ssrc, st.pt, static_cast<uint8_t>(0x40 + k));
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(followed(), st.followedAfter);
    }
    EXPECT_GT(frames.Count(), 0u);
    s.SetFrameCallback(nullptr, nullptr);
    s.RTP_Teardown();
    ::close(device);
    ::close(other);
}

// ---- TCP media reconnection within the call --------------------------------

struct Notes {
    std::mutex m;
    std::vector<std::string> said;
    static void On(void* user, const std::string& text) {
        auto* self = static_cast<Notes*>(user);
        std::lock_guard<std::mutex> l(self->m);
        self->said.push_back(text);
    }
    bool Has(const std::string& part) {
        std::lock_guard<std::mutex> l(m);
        return std::any_of(said.begin(), said.end(),
                           [&](const std::string& t) { return t.find(part) != std::string::npos; });
    }
};

// A device listening on 127.0.0.1:port, as a camera that is the TCP server.
int ListenAt(uint16_t port) {
    int ls = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    ::setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(ls, 5) != 0) {
        ::close(ls);
        return -1;
    }
    return ls;
}

// Accepts within ms; the caller's port in *from.
int AcceptWithin(int ls, int ms, uint16_t* from) {
    pollfd p{ls, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return -1;
    sockaddr_in peer{};
    socklen_t pl = sizeof peer;
    const int c = ::accept(ls, reinterpret_cast<sockaddr*>(&peer), &pl);
    if (c >= 0 && from) *from = ntohs(peer.sin_port);
    return c;
}

// Three pictures (tags first..first+2) of one source, numbering on from seq.
void SendPictures(int c, uint16_t& seq, uint32_t& ts, uint8_t first) {
    mt::RtpSpec r;
    for (int k = 0; k < 3; ++k) {
        r.seq = seq++;
        r.ts = ts += 3600;
        SendFramed(c, mt::MakeRtp(r, PsFrame({0, 0, 1, static_cast<uint8_t>(first + k)})));
    }
}

bool GotTag(Frames& f, uint8_t tag) {
    std::lock_guard<std::mutex> l(f.m);
    return std::any_of(f.got.begin(), f.got.end(),
                       [&](const Bytes& b) { return b == Bytes{0, 0, 1, tag}; });
}

// Connecting (we are the TCP client): the device drops the connection
// mid-stream, or is not listening yet when the answer comes; the receiver
// connects again from its own port within the call and the stream goes on.
TEST(Receiver, ConnectingReconnectsAfterADropAndAfterAFailedFirstTry) {
    struct Case {
        const char* what;
        bool listeningAtFirst;
    } cases[] = {{"dropped mid-stream", true}, {"nobody listening at first", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const uint16_t p = mt::FreePortBase();
        int ls = c.listeningAtFirst ? ListenAt(p + 2) : -1;
        if (c.listeningAtFirst) {
            ASSERT_GE(ls, 0);
        }
        Frames frames;
        Notes notes;
        CRTPSession s;
        s.SetFrameCallback(&Frames::On, &frames);
        s.SetTransportCallback(&Notes::On, &notes);
        ASSERT_EQ(s.RTP_Setup(p, 1, "127.0.0.1", 90000), 1);
        EXPECT_EQ(s.TransportReady(), c.listeningAtFirst);
        uint16_t seq = 100, from = 0;
        uint32_t ts = 0;
        if (c.listeningAtFirst) {
            const int first = AcceptWithin(ls, 3000, &from);
            ASSERT_GE(first, 0);
            SendPictures(first, seq, ts, 0x10);
            ASSERT_TRUE(frames.WaitFor(2));
            ::close(first); // the drop
            ASSERT_TRUE(WaitUntil([&] { return !s.TransportReady(); }));
            // Said once it outlived a second (a close after our BYE is none).
            EXPECT_FALSE(notes.Has("dropped; connecting again"));
            ASSERT_TRUE(WaitUntil([&] { return notes.Has("dropped; connecting again"); }));
        } else {
            std::this_thread::sleep_for(300ms);
            ls = ListenAt(p + 2); // the device comes up after the answer
            ASSERT_GE(ls, 0);
        }
        // Within the next try (1 s apart), from the receiver port again.
        const int again = AcceptWithin(ls, 4000, &from);
        ASSERT_GE(again, 0);
        EXPECT_EQ(from, p);
        ASSERT_TRUE(WaitUntil([&] { return s.TransportReady(); }));
        SendPictures(again, seq, ts, 0x20);
        EXPECT_TRUE(WaitUntil([&] { return GotTag(frames, 0x21); }));
        EXPECT_EQ(s.Reconnections(), 1u);
        EXPECT_TRUE(notes.Has("re-established (try 1)"));
        s.SetFrameCallback(nullptr, nullptr);
        s.SetTransportCallback(nullptr, nullptr);
        s.RTP_Teardown();
        ::close(again);
        ::close(ls);
    }
}

// Listening (the device is the TCP client): its connection drops and it
// connects again; the new connection is accepted within the call, said, and
// its pictures come through.
TEST(Receiver, ListeningAcceptsTheDeviceAgainAfterItsConnectionDropped) {
    const uint16_t p = mt::FreePortBase();
    Frames frames;
    Notes notes;
    CRTPSession s;
    s.SetFrameCallback(&Frames::On, &frames);
    s.SetTransportCallback(&Notes::On, &notes);
    ASSERT_EQ(s.RTP_Setup(p, 2, "127.0.0.1", 90000), 1);
    uint16_t seq = 7;
    uint32_t ts = 0;
    int c = TcpConnect(p);
    ASSERT_GE(c, 0);
    SendPictures(c, seq, ts, 0x30);
    ASSERT_TRUE(frames.WaitFor(2));
    ::close(c);
    ASSERT_TRUE(WaitUntil([&] { return notes.Has("closed by the device"); }));
    EXPECT_EQ(s.Reconnections(), 0u);
    c = TcpConnect(p);
    ASSERT_GE(c, 0);
    SendPictures(c, seq, ts, 0x40);
    EXPECT_TRUE(WaitUntil([&] { return GotTag(frames, 0x41); }));
    EXPECT_TRUE(notes.Has("accepted again from 127.0.0.1"));
    EXPECT_EQ(s.Reconnections(), 1u);
    s.SetFrameCallback(nullptr, nullptr);
    s.RTP_Teardown();
    ::close(c);
}

} // namespace

namespace {
// Jitter carried from the packets' arrival: seven packets sent at once whose
// timestamps are a second apart (90 kHz): each step differs by about 1000 ms
// from its arrival step.
TEST(Receiver, JitterOfTheFollowedStreamFromArrivalAndTimestamps) {
    uint16_t p = mt::FreePortBase();
    int dev = mt::UdpSocket(0, "127.0.0.2");
    Frames frames;
    CRTPSession s;
    s.SetLocalAddress(INADDR_LOOPBACK);
    ASSERT_EQ(s.RTP_Setup(p, 0, "127.0.0.2", 90000), 1);
    EXPECT_FALSE(s.JitterMilliseconds());
    s.SetFrameCallback(&Frames::On, &frames);
    mt::RtpSpec r;
    for (int k = 0; k < 7; ++k) {
        r.seq = static_cast<uint16_t>(k);
        r.ts = 1000 + 90000 * static_cast<uint32_t>(k);
        mt::SendUdp(dev, p, mt::MakeRtp(r, PsFrame({0, 0, 1, static_cast<uint8_t>(0x40 + k)})));
    }
    ASSERT_TRUE(frames.WaitFor(6));
    const auto j = s.JitterMilliseconds();
    ASSERT_TRUE(j);
    // Six steps: 1000 * (1 - (15/16)^6) = 321 ms when they all arrive at once.
    EXPECT_GT(*j, 150.0);
    EXPECT_LT(*j, 330.0);
    s.SetFrameCallback(nullptr, nullptr);
    s.RTP_Teardown();
    ::close(dev);
}
} // namespace

namespace {

// A receive thread slowed by its decoding (here a callback that takes 50 ms a
// frame) does not make the device's frames look late: each frame is timed
// when the poll thread read its packets, and the wait for the slow thread is
// what grows.
TEST(Receiver, FramesAreTimedWhenReadNotWhenTheBusyReceiveThreadTakesThem) {
    struct Slow {
        std::atomic<int> frames{0};
        static void On(void* user, unsigned char*, int32_t) {
            std::this_thread::sleep_for(50ms);
            ++static_cast<Slow*>(user)->frames;
        }
    } slow;
    uint16_t p = mt::FreePortBase();
    int dev = mt::UdpSocket(0, "127.0.0.2");
    ASSERT_GE(dev, 0);
    CRTPSession s;
    s.SetLocalAddress(INADDR_LOOPBACK);
    ASSERT_EQ(s.RTP_Setup(p, 0, "127.0.0.2", 90000), 1);
    s.SetFrameCallback(&Slow::On, &slow);
    const auto sent = std::chrono::steady_clock::now();
    mt::RtpSpec r;
    for (int k = 0; k < 11; ++k) { // a burst: 10 frames complete
        r.seq = static_cast<uint16_t>(k);
        r.ts = 1000 + 3600 * static_cast<uint32_t>(k);
        mt::SendUdp(dev, p, mt::MakeRtp(r, PsFrame({0, 0, 1, static_cast<uint8_t>(0x40 + k)})));
    }
    const auto end = sent + 5s;
    while (slow.frames < 10 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(10ms);
    const auto taken = std::chrono::steady_clock::now() - sent;
    ASSERT_EQ(slow.frames.load(), 10);
    const CRTPSession::FrameClock c = s.VideoFrameClock();
    ASSERT_GE(c.frames, 10u);
    // The thread needed at least 450 ms for the ten; the burst was read far quicker.
    EXPECT_GE(taken, 450ms);
    EXPECT_LT((c.at - c.firstAt) * 2, taken);
    // The last of them waited for the nine before it.
    EXPECT_GE(c.longestWaitUs, 400000u);
    EXPECT_GE(c.waitUs, c.longestWaitUs);
    s.SetFrameCallback(nullptr, nullptr);
    s.RTP_Teardown();
    ::close(dev);
}

} // namespace

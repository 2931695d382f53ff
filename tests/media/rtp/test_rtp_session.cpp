// The RTP session layer: probation, data access, receiver reports, BYE, the
// source hooks and both transports, with bad input on the wire.

#include "media/MediaTestUtil.h"
#include "media/rtp/RtpSession.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <random>

namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

uint32_t be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

class HookedSession : public tvrtp::Session {
public:
    ~HookedSession() override { Destroy(); }
    std::atomic<int> added{0}, removed{0}, byes{0};
    std::atomic<bool> removedAfterBye{false};

protected:
    void OnNewSource(tvrtp::SourceInfo*) override { ++added; }
    void OnRemoveSource(tvrtp::SourceInfo* s) override {
        ++removed;
        if (s->ReceivedBYE()) removedAfterBye = true;
    }
    void OnBYEPacket(tvrtp::SourceInfo*) override { ++byes; }
};

tvrtp::SessionParams FastParams() {
    tvrtp::SessionParams p;
    p.ownTimestampUnit = 1.0 / 90000;
    p.minimumRtcpInterval = 0.4; // reports within a second
    return p;
}

tvrtp::UdpTransmissionParams Loopback(uint16_t port) {
    tvrtp::UdpTransmissionParams u;
    u.portBase = port;
    u.bindIP = INADDR_LOOPBACK;
    return u;
}

// Takes every packet the session holds within the time given.
std::vector<std::unique_ptr<tvrtp::Packet>> Drain(tvrtp::Session& s, std::size_t want,
                                                  std::chrono::milliseconds within = 3000ms) {
    std::vector<std::unique_ptr<tvrtp::Packet>> got;
    auto end = std::chrono::steady_clock::now() + within;
    while (got.size() < want && std::chrono::steady_clock::now() < end) {
        s.BeginDataAccess();
        if (s.GotoFirstSourceWithData()) {
            do {
                while (auto p = s.GetNextPacket())
                    got.push_back(std::move(p));
            } while (s.GotoNextSourceWithData());
        }
        s.EndDataAccess();
        if (got.size() < want) s.WaitForData(50ms);
    }
    return got;
}

TEST(RtpSessionUdp, OddPortBaseAndPortInUseAreRefused) {
    uint16_t p = mt::FreePortBase();
    tvrtp::Session a, b;
    EXPECT_EQ(a.Create(FastParams(), Loopback(p + 1)), tvrtp::ERR_ODD_PORT_BASE);
    ASSERT_EQ(a.Create(FastParams(), Loopback(p)), 0);
    EXPECT_EQ(b.Create(FastParams(), Loopback(p)), tvrtp::ERR_SOCKET);
    EXPECT_EQ(a.Create(FastParams(), Loopback(p)), tvrtp::ERR_ALREADY_CREATED);
    EXPECT_LT(b.AddDestination(tvrtp::Ipv4Address(0x7F000001, 9000, 9001)), 0);
}

TEST(RtpSessionUdp, ProbationHoldsPacketsUntilTwoInSequenceThenHandsThemAllOut) {
    uint16_t p = mt::FreePortBase();
    HookedSession s;
    ASSERT_EQ(s.Create(FastParams(), Loopback(p)), 0);
    int tx = mt::UdpSocket(0);
    mt::RtpSpec r;
    r.seq = 500;
    mt::SendUdp(tx, p, mt::MakeRtp(r, {1}));
    EXPECT_FALSE(s.WaitForData(300ms)); // one packet: still on probation
    EXPECT_EQ(s.added.load(), 1);
    r.seq = 501;
    mt::SendUdp(tx, p, mt::MakeRtp(r, {2}));
    auto got = Drain(s, 2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0]->GetSequenceNumber(), 500);
    EXPECT_EQ(got[1]->GetPayloadData()[0], 2);
    EXPECT_EQ(got[1]->GetSSRC(), r.ssrc);
    ::close(tx);
}

TEST(RtpSessionUdp, MalformedDatagramsAreDroppedAndTheStreamGoesOn) {
    uint16_t p = mt::FreePortBase();
    tvrtp::Session s;
    ASSERT_EQ(s.Create(FastParams(), Loopback(p)), 0);
    int tx = mt::UdpSocket(0);
    std::mt19937 rng(5);
    mt::RtpSpec r;
    for (int k = 0; k < 40; ++k) {
        r.seq = static_cast<uint16_t>(1000 + k);
        mt::SendUdp(tx, p, mt::MakeRtp(r, {static_cast<uint8_t>(k)}));
        Bytes junk(rng() % 64);
        for (auto& b : junk)
            b = static_cast<uint8_t>(rng());
        mt::SendUdp(tx, p, junk);
        // CSRC count, extension length and padding count pointing past the end.
        mt::SendUdp(tx, p, {0x8F, 96, 0, 1, 0, 0, 0, 1, 1, 2, 3, 4, 0, 0});
        mt::SendUdp(tx, p, {0x90, 96, 0, 1, 0, 0, 0, 1, 1, 2, 3, 4, 0xBE, 0xDE, 0x10, 0});
        mt::SendUdp(tx, p, {0xA0, 96, 0, 1, 0, 0, 0, 1, 1, 2, 3, 4, 5, 0xFF});
        mt::SendUdp(tx, p, {});
        // RTCP: junk, a length past the end, an SR cut short, a BYE whose
        // source count runs past its packet, a version other than 2.
        mt::SendUdp(tx, p + 1, junk);
        mt::SendUdp(tx, p + 1, {0x80, 200, 0xFF, 0xFF, 1, 2, 3, 4});
        mt::SendUdp(tx, p + 1, {0x80, 200, 0, 1, 1, 2, 3, 4});
        mt::SendUdp(tx, p + 1, {0x9F, 203, 0, 1, 0x55, 0x66, 0x77, 0x88});
        mt::SendUdp(tx, p + 1, {0x40, 201, 0, 1, 1, 2, 3, 4});
        std::this_thread::sleep_for(2ms); // stay within the receive buffer
    }
    auto got = Drain(s, 40);
    ASSERT_EQ(got.size(), 40u);
    for (int k = 0; k < 40; ++k)
        EXPECT_EQ(got[k]->GetPayloadData()[0], k);
    ::close(tx);
}

// Datagrams are read straight into packet storage: large ones run past the
// room a slab has left and are joined in the next.
TEST(RtpSessionUdp, DatagramsOfEverySizeArriveWhole) {
    uint16_t p = mt::FreePortBase();
    tvrtp::Session s;
    auto u = Loopback(p);
    u.rtpReceiveBuffer = 1 << 20;
    ASSERT_EQ(s.Create(FastParams(), u), 0);
    int tx = mt::UdpSocket(0);
    const std::size_t payloads[] = {1400, 60000, 0, 30000, 64988, 1, 1400, 50000};
    std::vector<Bytes> sent;
    mt::RtpSpec r;
    for (int k = 0; k < 40; ++k) {
        r.seq = static_cast<uint16_t>(7000 + k);
        Bytes payload(payloads[k % 8]);
        for (std::size_t i = 0; i < payload.size(); ++i)
            payload[i] = static_cast<uint8_t>(k + i / 251);
        sent.push_back(mt::MakeRtp(r, payload));
        mt::SendUdp(tx, p, sent.back());
        std::this_thread::sleep_for(2ms); // stay within the receive buffer
    }
    auto got = Drain(s, sent.size());
    ASSERT_EQ(got.size(), sent.size());
    for (std::size_t k = 0; k < sent.size(); ++k)
        EXPECT_TRUE(Bytes(got[k]->GetPacketData(),
                          got[k]->GetPacketData() + got[k]->GetPacketLength()) == sent[k])
            << k;
    ::close(tx);
}

TEST(RtpSessionUdp, ReceiverReportsWithCnameReachEveryDestinationAndCountLoss) {
    uint16_t p = mt::FreePortBase();
    uint16_t q = mt::FreePortBase();
    while (q == p)
        q = mt::FreePortBase();
    int devRtp = mt::UdpSocket(q), devRtcp = mt::UdpSocket(q + 1);
    ASSERT_GE(devRtcp, 0);
    tvrtp::Session s;
    ASSERT_EQ(s.Create(FastParams(), Loopback(p)), 0);
    ASSERT_EQ(s.AddDestination(tvrtp::Ipv4Address(0x7F000001, q, q + 1)), 0);
    EXPECT_EQ(s.AddDestination(tvrtp::Ipv4Address(0x7F000001, q, q + 1)),
              tvrtp::ERR_DESTINATION_EXISTS);
    mt::RtpSpec r;
    r.ssrc = 0xCAFEF00D;
    for (int k = 0; k < 20; ++k) {
        if (k == 12) continue; // one packet lost
        r.seq = static_cast<uint16_t>(65530 + k);
        mt::SendUdp(devRtp, p, mt::MakeRtp(r, {0}));
    }
    ASSERT_EQ(Drain(s, 19).size(), 19u);
    // Look for a report that carries a block about our source.
    bool found = false;
    for (int tries = 0; tries < 10 && !found; ++tries) {
        Bytes d = mt::RecvUdp(devRtcp, 1500);
        if (d.empty()) continue;
        auto types = mt::RtcpTypes(d);
        ASSERT_GE(types.size(), 2u);
        EXPECT_EQ(types[0], 201);
        EXPECT_EQ(types[1], 202);
        EXPECT_EQ(be32(d.data() + 4), s.GetLocalSSRC());
        // SDES chunk: SSRC, CNAME item.
        std::size_t sdes = (static_cast<std::size_t>(d[2] << 8 | d[3]) + 1) * 4;
        EXPECT_EQ(d[sdes + 8], 1);
        if ((d[0] & 0x1F) == 1) {
            found = true;
            const uint8_t* b = d.data() + 8;
            EXPECT_EQ(be32(b), 0xCAFEF00D);
            EXPECT_EQ(be32(b + 4) & 0xFFFFFF, 1u); // cumulative lost
            EXPECT_EQ(be32(b + 8), 65536u + 13);   // one wrap, highest 13
        }
    }
    EXPECT_TRUE(found);
    EXPECT_GT(s.GetRtcpPacketsSent(), 0u);
    s.BYEDestroy(1000ms, "bye", 3);
    bool bye = false;
    for (int tries = 0; tries < 5 && !bye; ++tries) {
        auto types = mt::RtcpTypes(mt::RecvUdp(devRtcp, 1000));
        bye = !types.empty() && types.back() == 203;
    }
    EXPECT_TRUE(bye);
    EXPECT_FALSE(s.IsActive());
    ::close(devRtp);
    ::close(devRtcp);
}

TEST(RtpSessionUdp, ByeFromASourceCallsTheHooksAndRemovesIt) {
    uint16_t p = mt::FreePortBase();
    HookedSession s;
    ASSERT_EQ(s.Create(FastParams(), Loopback(p)), 0);
    int tx = mt::UdpSocket(0);
    mt::RtpSpec r;
    for (int k = 0; k < 3; ++k) {
        r.seq = static_cast<uint16_t>(k);
        mt::SendUdp(tx, p, mt::MakeRtp(r, {0}));
    }
    ASSERT_EQ(Drain(s, 3).size(), 3u);
    Bytes bye = {0x81, 203, 0, 1};
    for (int k = 3; k >= 0; --k)
        bye.push_back(static_cast<uint8_t>(r.ssrc >> (8 * k)));
    mt::SendUdp(tx, p + 1, bye);
    auto end = std::chrono::steady_clock::now() + 5s;
    while (s.removed == 0 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(20ms);
    EXPECT_EQ(s.added.load(), 1);
    EXPECT_EQ(s.byes.load(), 1);
    EXPECT_EQ(s.removed.load(), 1);
    EXPECT_TRUE(s.removedAfterBye.load());
    EXPECT_EQ(s.GetSourceCount(), 0u);
    ::close(tx);
}

TEST(RtpSessionUdp, WaitForDataReturnsWhenThePollThreadFilesAPacket) {
    uint16_t p = mt::FreePortBase();
    tvrtp::SessionParams prm = FastParams();
    prm.probation = false;
    tvrtp::Session s;
    ASSERT_EQ(s.Create(prm, Loopback(p)), 0);
    int tx = mt::UdpSocket(0);
    std::thread later([&] {
        std::this_thread::sleep_for(100ms);
        mt::SendUdp(tx, p, mt::MakeRtp({}, {1}));
    });
    EXPECT_TRUE(s.WaitForData(5000ms));
    later.join();
    s.Destroy();
    EXPECT_FALSE(s.WaitForData(10ms));
    ::close(tx);
}

// TCP: one end of a socket pair is the session's connection, the test writes
// and reads the other end.
struct TcpPair {
    int mine = -1, theirs = -1;
    TcpPair() {
        int sv[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0) {
            mine = sv[0];
            theirs = sv[1];
        }
    }
    ~TcpPair() {
        CloseIt(mine);
        CloseIt(theirs);
    }
    static void CloseIt(int& fd) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    void Frame(const Bytes& pkt) {
        Bytes f = {static_cast<uint8_t>(pkt.size() >> 8), static_cast<uint8_t>(pkt.size())};
        f.insert(f.end(), pkt.begin(), pkt.end());
        Raw(f);
    }
    void Raw(const Bytes& b) {
        ASSERT_EQ(::send(theirs, b.data(), b.size(), 0), (ssize_t)b.size());
    }
};

TEST(RtpSessionTcp, FramedPacketsAcrossWritesEmptyFramesAndJunkAreHandled) {
    tvrtp::TcpTransmitter tcp;
    ASSERT_EQ(tcp.Init(true), 0);
    ASSERT_EQ(tcp.Create(65535), 0);
    tvrtp::Session s;
    ASSERT_EQ(s.Create(FastParams(), &tcp), 0);
    TcpPair pair;
    ASSERT_EQ(s.AddDestination(tvrtp::TcpAddress(pair.mine)), 0);
    EXPECT_EQ(s.AddDestination(tvrtp::Ipv4Address(1, 2, 3)), tvrtp::ERR_WRONG_ADDRESS_KIND);
    mt::RtpSpec r;
    std::vector<Bytes> sent;
    for (int k = 0; k < 30; ++k) {
        r.seq = static_cast<uint16_t>(7 + k);
        Bytes payload(k == 10 ? 60000 : 100, static_cast<uint8_t>(k));
        sent.push_back(mt::MakeRtp(r, payload));
        if (k % 3 == 0) pair.Raw({0, 0});            // empty frame
        if (k % 5 == 0) pair.Frame({1, 2, 3, 4, 5}); // not RTP
        if (k % 7 == 0) {
            // A frame split over two writes.
            Bytes f(sent.back().size() + 2);
            f[0] = static_cast<uint8_t>(sent.back().size() >> 8);
            f[1] = static_cast<uint8_t>(sent.back().size());
            std::copy(sent.back().begin(), sent.back().end(), f.begin() + 2);
            pair.Raw(Bytes(f.begin(), f.begin() + 5));
            std::this_thread::sleep_for(5ms);
            pair.Raw(Bytes(f.begin() + 5, f.end()));
        } else {
            pair.Frame(sent.back());
        }
    }
    auto got = Drain(s, 30);
    ASSERT_EQ(got.size(), 30u);
    for (std::size_t k = 0; k < got.size(); ++k)
        EXPECT_TRUE(Bytes(got[k]->GetPacketData(),
                          got[k]->GetPacketData() + got[k]->GetPacketLength()) == sent[k]);
    // A frame that never completes, then the peer goes away: nothing is delivered.
    pair.Raw({0xFF, 0xF0, 0x80, 96, 0, 1});
    ::shutdown(pair.theirs, SHUT_WR);
    EXPECT_FALSE(s.WaitForData(300ms));
    s.Destroy();
}

TEST(RtpSessionTcp, ReportsAndByeTravelFramedOnTheConnection) {
    tvrtp::TcpTransmitter tcp;
    tcp.Init(true);
    tcp.Create(65535);
    tvrtp::Session s;
    ASSERT_EQ(s.Create(FastParams(), &tcp), 0);
    TcpPair pair;
    ASSERT_EQ(s.AddDestination(tvrtp::TcpAddress(pair.mine)), 0);
    Bytes in;
    auto readFrames = [&](int ms) {
        std::vector<Bytes> frames;
        pollfd pf{pair.theirs, POLLIN, 0};
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end && frames.empty()) {
            if (::poll(&pf, 1, 50) <= 0) continue;
            uint8_t b[4096];
            ssize_t n = ::recv(pair.theirs, b, sizeof b, 0);
            if (n <= 0) break;
            in.insert(in.end(), b, b + n);
            while (in.size() >= 2 && in.size() >= 2u + (in[0] << 8 | in[1])) {
                std::size_t len = in[0] << 8 | in[1];
                frames.emplace_back(in.begin() + 2, in.begin() + 2 + len);
                in.erase(in.begin(), in.begin() + 2 + len);
            }
        }
        return frames;
    };
    auto reports = readFrames(4000);
    ASSERT_FALSE(reports.empty());
    auto t = mt::RtcpTypes(reports[0]);
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[0], 201);
    EXPECT_EQ(t[1], 202);
    s.BYEDestroy(1000ms, nullptr, 0);
    bool bye = false;
    for (int k = 0; k < 3 && !bye; ++k)
        for (auto& f : readFrames(1000)) {
            auto ty = mt::RtcpTypes(f);
            bye = bye || (!ty.empty() && ty.back() == 203);
        }
    EXPECT_TRUE(bye);
}

TEST(RtpSessionTcp, RemovedSocketIsNoLongerRead) {
    tvrtp::TcpTransmitter tcp;
    tcp.Init(true);
    tcp.Create(65535);
    tvrtp::SessionParams prm = FastParams();
    prm.probation = false;
    tvrtp::Session s;
    ASSERT_EQ(s.Create(prm, &tcp), 0);
    TcpPair pair;
    ASSERT_EQ(s.AddDestination(tvrtp::TcpAddress(pair.mine)), 0);
    pair.Frame(mt::MakeRtp({}, {1}));
    ASSERT_EQ(Drain(s, 1).size(), 1u);
    ASSERT_EQ(s.DeleteDestination(tvrtp::TcpAddress(pair.mine)), 0);
    EXPECT_EQ(s.DeleteDestination(tvrtp::TcpAddress(pair.mine)), tvrtp::ERR_NO_SUCH_DESTINATION);
    mt::RtpSpec r;
    r.seq = 1;
    pair.Frame(mt::MakeRtp(r, {2}));
    EXPECT_FALSE(s.WaitForData(300ms));
}

// RTSP's interleaved framing is told from the first bytes: packets split over
// writes and junk between them come through, the reports go back on channel
// 1, and a peer that closes is no destination any more, with its socket handed
// back once. A 4571 stream whose first length byte happens to be '$' stays 4571.
TEST(RtpSessionTcp, InterleavedFramingIsRecognisedAndClosedConnectionsAreHandedBack) {
    class Closing : public tvrtp::Session {
    public:
        ~Closing() override { Destroy(); }
        std::mutex m;
        std::vector<int> closed;

    protected:
        void OnConnectionClosed(int fd) override {
            std::lock_guard<std::mutex> l(m);
            closed.push_back(fd);
        }
    };
    tvrtp::TcpTransmitter tcp;
    tcp.Init(true);
    tcp.Create(65535);
    Closing s;
    ASSERT_EQ(s.Create(FastParams(), &tcp), 0);
    TcpPair il, plain;
    ASSERT_EQ(s.AddDestination(tvrtp::TcpAddress(il.mine)), 0);
    ASSERT_EQ(s.AddDestination(tvrtp::TcpAddress(plain.mine)), 0);
    mt::RtpSpec r;
    r.ssrc = 0; // SSRC 0 is an SSRC like any other
    std::vector<Bytes> sent;
    for (int k = 0; k < 20; ++k) {
        r.seq = static_cast<uint16_t>(100 + k);
        sent.push_back(mt::MakeRtp(r, Bytes(k == 3 ? 30000 : 200, static_cast<uint8_t>(k))));
        Bytes f(4 + sent.back().size());
        f[0] = '$';
        f[2] = static_cast<uint8_t>(sent.back().size() >> 8);
        f[3] = static_cast<uint8_t>(sent.back().size());
        std::copy(sent.back().begin(), sent.back().end(), f.begin() + 4);
        if (k % 4 == 1) il.Raw({0x17, 0x42, 0x00}); // junk up to the next '$'
        il.Raw(Bytes(f.begin(), f.begin() + 3));
        std::this_thread::sleep_for(1ms);
        il.Raw(Bytes(f.begin() + 3, f.end()));
    }
    // 4571 with a 9252-byte first packet: its length starts with 0x24.
    mt::RtpSpec q;
    q.ssrc = 0x51;
    Bytes big = mt::MakeRtp(q, Bytes(9240, 7));
    ASSERT_EQ(big.size() >> 8, 0x24u);
    plain.Frame(big);
    q.seq = 1;
    plain.Frame(mt::MakeRtp(q, {8}));
    auto got = Drain(s, 22);
    ASSERT_EQ(got.size(), 22u);
    std::size_t k = 0;
    for (auto& p : got) {
        Bytes b(p->GetPacketData(), p->GetPacketData() + p->GetPacketLength());
        if (p->GetSSRC() == 0) {
            EXPECT_TRUE(b == sent[k++]);
        }
    }
    EXPECT_EQ(k, sent.size());
    EXPECT_EQ(tcp.FramingOf(il.mine), tvrtp::TcpFraming::Interleaved);
    EXPECT_EQ(tcp.FramingOf(plain.mine), tvrtp::TcpFraming::Rfc4571);
    // The report comes back as '$', channel 1, length.
    Bytes in;
    pollfd pf{il.theirs, POLLIN, 0};
    auto end = std::chrono::steady_clock::now() + 5s;
    while (in.size() < 8 && std::chrono::steady_clock::now() < end)
        if (::poll(&pf, 1, 50) > 0) {
            uint8_t b[4096];
            ssize_t n = ::recv(il.theirs, b, sizeof b, 0);
            if (n > 0) in.insert(in.end(), b, b + n);
        }
    ASSERT_GE(in.size(), 8u);
    EXPECT_EQ(in[0], '$');
    EXPECT_EQ(in[1], 1);
    EXPECT_EQ(in[5], 201);
    // The peer goes: the connection is handed back once and no longer a destination.
    ::shutdown(il.theirs, SHUT_WR);
    end = std::chrono::steady_clock::now() + 5s;
    auto closedCount = [&] {
        std::lock_guard<std::mutex> l(s.m);
        return s.closed.size();
    };
    while (closedCount() == 0 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(100ms);
    {
        std::lock_guard<std::mutex> l(s.m);
        EXPECT_EQ(s.closed, std::vector<int>{il.mine});
    }
    EXPECT_EQ(tcp.DestinationCount(), 1u);
    EXPECT_EQ(s.DeleteDestination(tvrtp::TcpAddress(il.mine)), tvrtp::ERR_NO_SUCH_DESTINATION);
}

// The source table holds at most maxSources: a flood of new SSRCs replaces
// the least recently heard, never a preferred source; memory stays bounded.
TEST(RtpSessionUdp, SourceTableIsBoundedAndPreferredSourcesStay) {
    class Preferring : public tvrtp::Session {
    public:
        ~Preferring() override { Destroy(); }

    protected:
        bool IsPreferredSource(const tvrtp::SourceInfo& s) const override {
            return s.GetSSRC() == 0x600D;
        }
    };
    uint16_t port = mt::FreePortBase();
    tvrtp::SessionParams prm = FastParams();
    prm.maxSources = 8;
    Preferring s;
    ASSERT_EQ(s.Create(prm, Loopback(port)), 0);
    int dev = mt::UdpSocket(0);
    mt::RtpSpec good;
    good.ssrc = 0x600D;
    std::mt19937 rng(5);
    for (int k = 0; k < 2000; ++k) {
        if (k % 100 == 0) {
            good.seq = static_cast<uint16_t>(k / 100);
            mt::SendUdp(dev, port, mt::MakeRtp(good, {1}));
        }
        mt::RtpSpec noise;
        noise.ssrc = static_cast<uint32_t>(rng());
        noise.seq = static_cast<uint16_t>(rng());
        mt::SendUdp(dev, port, mt::MakeRtp(noise, Bytes(100, 0)));
        noise.seq = static_cast<uint16_t>(noise.seq + 1);
        mt::SendUdp(dev, port, mt::MakeRtp(noise, Bytes(100, 0)));
        if (k % 50 == 0) {
            EXPECT_LE(s.GetSourceCount(), 8u);
            std::this_thread::sleep_for(1ms); // paced: UDP loss is not what is tested
        }
    }
    auto end = std::chrono::steady_clock::now() + 10s;
    while (s.GetSourcesEvicted() < 1000 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(10ms);
    EXPECT_GE(s.GetSourcesEvicted(), 1000u);
    EXPECT_LE(s.GetSourceCount(), 8u);
    s.BeginDataAccess();
    EXPECT_TRUE(s.GotoSource(0x600D));
    s.EndDataAccess();
    ::close(dev);
}

} // namespace

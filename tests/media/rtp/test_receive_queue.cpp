// Whether the receiver kept up, as its sockets tell: the datagrams the kernel
// dropped for a UDP socket whose buffer was full, and the bytes found waiting
// in a TCP receive queue. A raw sender on loopback makes both real.

#include "media/rtp/RtpTransmitter.h"
#include "support/common/Net.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

// Everything the transmitter has now, polling until a pass brings nothing.
std::size_t ReadWhatCame(tvrtp::Transmitter& t, int timeoutMs = 0) {
    std::size_t n = 0;
    for (;;) {
        std::vector<tvrtp::Incoming> in;
        t.Poll(timeoutMs, in);
        if (in.empty()) return n;
        n += in.size();
        timeoutMs = 0;
    }
}

TEST(ReceiveQueue, UdpKernelDropsAreCountedWhenTheReaderSleeps) {
    struct Row {
        const char* name;
        int burst;         // datagrams sent
        bool readEachTime; // the reader takes each one as it comes
    };
    const Row rows[] = {
        {"reader keeps up", 40, true},
        {"reader sleeps through a burst", 200, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const int port = FreeMediaPorts();
        ASSERT_GT(port, 0);
        tvrtp::UdpTransmitter udp;
        tvrtp::UdpTransmissionParams p;
        p.portBase = static_cast<uint16_t>(port);
        p.bindIP = INADDR_LOOPBACK;
        p.rtpReceiveBuffer = 4096; // a few datagrams fit
        ASSERT_EQ(udp.Create(p), 0);
        const int tx = LoopbackUdpTo(port);
        ASSERT_GE(tx, 0);
        const std::vector<uint8_t> datagram(1200, 0x80);
        std::size_t read = 0;
        for (int k = 0; k < row.burst; ++k) {
            ASSERT_EQ(::send(tx, datagram.data(), datagram.size(), 0), 1200);
            if (row.readEachTime) read += ReadWhatCame(udp, 1000);
        }
        read += ReadWhatCame(udp);
        // Each datagram carries the count at its arrival: the next one tells.
        ASSERT_EQ(::send(tx, datagram.data(), datagram.size(), 0), 1200);
        EXPECT_EQ(ReadWhatCame(udp, 1000), 1u);
        if (row.readEachTime) {
            EXPECT_EQ(read, static_cast<std::size_t>(row.burst));
            EXPECT_EQ(udp.KernelDrops(), 0u);
        } else {
            EXPECT_GT(udp.KernelDrops(), 0u);
            EXPECT_LT(read, static_cast<std::size_t>(row.burst));
            // Loopback loses nothing else: what was not read, the kernel dropped.
            EXPECT_EQ(read + udp.KernelDrops(), static_cast<std::size_t>(row.burst));
        }
        ::close(tx);
    }
}

TEST(ReceiveQueue, TcpBacklogIsWhatWaitedWhenTheReaderCame) {
    struct Row {
        const char* name;
        bool sleeps; // the reader sleeps while 512 KiB come, or reads 8 KiB at a time
    };
    for (const Row& row : {Row{"reader keeps up", false}, Row{"reader sleeps", true}}) {
        SCOPED_TRACE(row.name);
        const int listener = LoopbackBound(SOCK_STREAM);
        ASSERT_GE(listener, 0);
        const int big = 4 << 20; // room for the whole burst, inherited by the accepted socket
        ::setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        ASSERT_EQ(::listen(listener, 1), 0);
        const int tx = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(LocalPortOf(listener)));
        ASSERT_EQ(::connect(tx, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        const int rx = ::accept(listener, nullptr, nullptr);
        ASSERT_GE(rx, 0);
        tvrtp::TcpTransmitter tcp;
        ASSERT_EQ(tcp.Init(true), 0);
        ASSERT_EQ(tcp.Create(65535), 0);
        ASSERT_EQ(tcp.AddDestination(tvrtp::TcpAddress(rx)), 0);
        // RFC 4571 frames of 8 KiB.
        std::vector<uint8_t> frame(2 + 8192, 0x80);
        frame[0] = 0x20;
        frame[1] = 0x00;
        auto send = [&](int frames) {
            for (int k = 0; k < frames; ++k)
                ASSERT_EQ(::send(tx, frame.data(), frame.size(), 0),
                          static_cast<ssize_t>(frame.size()));
        };
        std::size_t read = 0;
        if (row.sleeps) {
            std::thread writer([&] { send(64); });
            std::this_thread::sleep_for(300ms);
            while (read < 64) read += ReadWhatCame(tcp, 1000);
            writer.join();
        } else {
            for (int k = 0; k < 4; ++k) {
                send(1);
                read += ReadWhatCame(tcp, 1000);
                std::this_thread::sleep_for(tvrtp::TcpTransmitter::kBacklogSampleEvery + 10ms);
            }
        }
        const tvrtp::TcpTransmitter::Backlog b = tcp.ReceiveBacklog();
        EXPECT_GE(b.samples, 1u);
        EXPECT_GE(b.bytes, b.largest);
        if (row.sleeps) {
            EXPECT_GE(b.largest, 256u * 1024) << "most of the burst waited";
        } else {
            EXPECT_EQ(b.samples, 4u) << "one sample per read, 100 ms apart";
            EXPECT_LE(b.largest, frame.size()) << "no more than one frame waited";
        }
        ::close(tx);
        ::close(rx);
        ::close(listener);
    }
}

} // namespace

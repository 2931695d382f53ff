// The camera's sender against the platform's receiver on the loopback: the
// receiver counts every packet, and the rtp-gaps numbering shows as gaps with
// nothing else lost, over UDP and TCP.
#include "media/MediaTestUtil.h"
#include "media/recv/CRTPSession.h"
#include "media/send/RtpSender.h"
#include "sim/camera/Options.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;

// Polls until the receiver counted at least n packets; false after a generous ceiling.
bool WaitCounted(const CRTPSession& r, std::uint64_t n) {
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (r.RtpCounts().packets < n) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

TEST(CameraRtp, ReceiverCountsTheSendersGaps) {
    struct Case {
        const char* name;
        bool tcp;
        std::uint32_t skipEvery;
    };
    constexpr int kPacks = 100, kPerPack = 3, kBatch = 10;
    constexpr std::uint64_t kPackets = kPacks * kPerPack;
    for (const Case c : {Case{"UDP", false, 0}, Case{"UDP, rtp-gaps", false, tvsim::kRtpGapEvery},
                         Case{"TCP", true, 0}, Case{"TCP, rtp-gaps", true, tvsim::kRtpGapEvery}}) {
        SCOPED_TRACE(c.name);
        const uint16_t port = mt::FreePortBase();
        ASSERT_NE(port, 0);
        CRTPSession receiver;
        receiver.SetLocalAddress(INADDR_LOOPBACK);
        // TCP: the receiver listens, the camera connects (TCP passive).
        ASSERT_EQ(receiver.RTP_Setup(port, c.tcp ? 2 : 0, "127.0.0.1", 90000), 1);
        tvsend::SenderConfig cfg;
        cfg.transport = c.tcp ? tvsend::MediaTransport::TcpConnect : tvsend::MediaTransport::Udp;
        cfg.localIp = "127.0.0.1";
        cfg.remoteIp = "127.0.0.1";
        cfg.remotePort = port;
        cfg.ssrc = 100000001;
        cfg.skipEvery = c.skipEvery;
        tvsend::RtpSender sender(cfg);
        std::string error;
        ASSERT_TRUE(sender.Open(error)) << error;
        ASSERT_TRUE(sender.WaitConnected(10s, error)) << error;
        // Batches, each waited for: no UDP packet lost to a busy machine.
        const std::vector<uint8_t> pack(cfg.maxPayload * kPerPack, 0xA5);
        for (int i = 0; i < kPacks; ++i) {
            ASSERT_TRUE(sender.SendPack(pack, static_cast<uint32_t>(i * 3600), error)) << error;
            if ((i + 1) % kBatch == 0) {
                ASSERT_TRUE(WaitCounted(receiver, static_cast<std::uint64_t>(i + 1) * kPerPack))
                    << receiver.RtpCounts().packets;
            }
        }
        const SequenceFigures f = receiver.RtpCounts();
        const std::uint64_t gaps = c.skipEvery ? kPackets / c.skipEvery : 0;
        EXPECT_EQ(f.packets, kPackets);
        EXPECT_EQ(f.gaps, gaps);
        EXPECT_EQ(f.skipped, gaps);
        EXPECT_EQ(f.duplicates + f.late + f.restarts, 0u);
        EXPECT_EQ(f.ssrc, cfg.ssrc);
        uint32_t followed = 0;
        EXPECT_TRUE(receiver.CurrentSsrc(followed));
        EXPECT_EQ(followed, cfg.ssrc);
        receiver.RTP_Teardown();
    }
}

} // namespace

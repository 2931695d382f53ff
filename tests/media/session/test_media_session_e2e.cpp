// The whole road at the session's level: an ffmpeg-made program stream sent by
// a camera sender over UDP, TCP with the session connecting and TCP with the
// session listening, received by a real CRTPSession, decoded by a real CVidana
// into a recording surface, and ended without a thread or a callback left.

#include "SessionTestUtil.h"
#include "media/MediaTestUtil.h"
#include "vidana/lib/VidanaTestUtil.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

namespace {

using namespace std::chrono_literals;

constexpr int kW = 352, kH = 264; // the view: pictures are scaled from 320 x 240 (4:3)

class SessionStream : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // A sanitizer's runtime starts its own thread with the first one made;
        // made here, it is part of every baseline count.
        std::thread([] {}).join();
        dir_ = new vt::TempDir;
        const std::string es =
            mt::MakeH264(dir_->Path().string(), "cam.h264", "320x240", 2.0, "-bf 0");
        ASSERT_FALSE(es.empty());
        // The camera's stream is ffmpeg's MPEG-2 program stream; the sender
        // cuts it into one program-stream frame per picture, as cameras send.
        vob_ = mt::MakePS(es, *dir_ / "cam.vob");
        ASSERT_FALSE(vob_.empty());
        es_ = *dir_ / "fromvob.h264";
        const auto bytes = mt::ExtractES(vob_, es_);
        ASSERT_FALSE(bytes.empty());
        for (const auto& u : vidana::SplitAccessUnits(bytes))
            unitSizes_.push_back(u.size());
        reference_ = vt::FfmpegPictures(*dir_, vob_, kW, kH);
        ASSERT_EQ(reference_.size(), unitSizes_.size() * kW * kH * 3);
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }

    void SetUp() override {
        port_ = mt::FreePortBase();
        ASSERT_NE(port_, 0);
        CMediaSession::Options o;
        o.localIp = INADDR_LOOPBACK;
        s_ = std::make_unique<CMediaSession>(decoder_, &surface_, signal_, &view_, o);
    }

    MediaInputs In(int transport) const { return st::LoopbackInputs(transport, port_); }

    static std::string CameraOut(int transport) {
        return *dir_ / ("camsim-" + std::string(transport == 0   ? "udp"
                                                : transport == 1 ? "tcp-listen"
                                                                 : "tcp-connect") +
                        ".out");
    }

    std::unique_ptr<mt::Proc> Camera(const std::string& transport, int port, int fps) {
        const std::string out = *dir_ / ("camsim-" + transport + ".out");
        return std::make_unique<mt::Proc>(
            std::vector<std::string>{"/usr/bin/python3", mt::Camsim(), "--es", es_, "--transport",
                                     transport, "--host", "127.0.0.1", "--bind", "127.0.0.1",
                                     "--port", std::to_string(port), "--fps", std::to_string(fps)},
            out, *dir_ / ("camsim-" + transport + ".err"));
    }

    // Opens the live view over the transport with a camera sending at fps.
    std::unique_ptr<mt::Proc> Open(int transport, int fps) {
        std::unique_ptr<mt::Proc> cam;
        if (transport == 1) {
            // The device listens at the receiver port + 2 before it answers.
            cam = Camera("tcp-listen", port_ + 2, fps);
            const std::string out = *dir_ / "camsim-tcp-listen.out";
            EXPECT_TRUE(st::WaitUntil([&] { return vt::ReadFile(out).size() > 0; }));
        }
        EXPECT_TRUE(s_->BuildMediaCommand(0, 0, In(transport)).send);
        EXPECT_TRUE(s_->OnCallAnswered(1, 1, st::VideoAnswer(), In(transport)).receivable);
        EXPECT_TRUE(s_->Receiver().exists);
        if (transport == 0) cam = Camera("udp", port_, fps);
        if (transport == 2) cam = Camera("tcp-connect", port_, fps);
        return cam;
    }

    bool SameAsReference(std::size_t picture, std::size_t index) {
        const std::size_t n = std::size_t(kW) * kH * 3;
        const auto& p = surface_.pictures[picture];
        return p.width == kW && p.height == kH &&
               std::memcmp(p.bgr.data(), reference_.data() + index * n, n) == 0;
    }

    void StreamWholeAndCompare(int transport) {
        const int threads = st::ThreadCount();
        auto cam = Open(transport, 50);
        ASSERT_EQ(cam->Wait(60), 0);
        // The last picture waits for a next timestamp that never comes.
        const std::size_t expected = unitSizes_.size() - 1;
        st::WaitUntil([&] { return s_->Figures().frames >= expected; }, 20s);
        const StreamFigures f = s_->Figures();
        const ReceiverInfo r = s_->Receiver();
        s_->Stop();
        EXPECT_EQ(st::ThreadCount(), threads);
        EXPECT_EQ(signal_.Ended(), (std::vector<std::pair<int, int>>{{1, 1}}));

        ASSERT_GT(surface_.Count(), 0u);
        EXPECT_EQ(f.frames, surface_.Count()); // one picture per frame without B-frames
        EXPECT_EQ(f.empty, 0u);
        EXPECT_EQ(f.bytes, std::accumulate(unitSizes_.begin(), unitSizes_.begin() + f.frames,
                                           std::uint64_t(0)));
        const bool whole = f.frames == expected;
        if (transport != 0) {
            EXPECT_TRUE(whole); // TCP loses nothing
        }
        if (whole) {
            for (std::size_t i = 0; i < surface_.Count(); ++i)
                ASSERT_TRUE(SameAsReference(i, i)) << "picture " << i;
        } else {
            // A datagram lost under load spoils the pictures after it until the
            // next key frame; the first ones still match.
            EXPECT_TRUE(SameAsReference(0, 0));
        }
        // The receiver counted the camera's packets: all of them over TCP, in
        // sequence; over UDP what a busy loopback lost shows as skipped.
        const auto out = vt::ReadFile(CameraOut(transport));
        const std::string sent(out.begin(), out.end());
        const std::size_t at = sent.find("\"packets\": ");
        ASSERT_NE(at, std::string::npos) << sent;
        const std::uint64_t packets = std::stoull(sent.substr(at + 11));
        EXPECT_GT(r.packets, 0u);
        if (transport != 0) {
            EXPECT_EQ(r.packets, packets);
            EXPECT_EQ(r.sequenceGaps, 0u);
            EXPECT_EQ(r.skippedPackets, 0u);
        } else {
            EXPECT_LE(r.packets + r.skippedPackets, packets);
            EXPECT_LE(r.sequenceGaps, r.skippedPackets);
        }
        // The last view update, sent when the stream stopped, counts them all.
        const std::string line = view_.Last().statistics.value_or("");
        // Every frame decoded into a picture, no packet lost, none bad.
        EXPECT_EQ(f.pictures, f.frames);
        EXPECT_EQ(line.rfind("解码 " + std::to_string(f.pictures) + "帧 丢 0包 坏 0帧 帧率 ", 0),
                  0u)
            << line;
        EXPECT_NE(line.find(" 接收数据 " + std::to_string(f.bytes >> 10) + " KB "),
                  std::string::npos)
            << line;
    }

    static inline vt::TempDir* dir_ = nullptr;
    static inline std::string vob_, es_;
    static inline std::vector<std::size_t> unitSizes_;
    static inline std::vector<std::uint8_t> reference_;

    uint16_t port_ = 0;
    CVidana decoder_;
    vt::RecordingSurface surface_{kW, kH};
    st::RecordingSignal signal_;
    st::RecordingView view_;
    std::unique_ptr<CMediaSession> s_;
};

TEST_F(SessionStream, OverUdp) {
    StreamWholeAndCompare(0);
}

TEST_F(SessionStream, OverTcpConnectingToTheDevice) {
    StreamWholeAndCompare(1);
}

TEST_F(SessionStream, OverTcpListeningBeforeTheOffer) {
    StreamWholeAndCompare(2);
}

// Ended in the middle of a stream: the receiver's threads are gone, the port is
// free, and neither the surface nor the view hears anything more.
TEST_F(SessionStream, StopInTheMiddleLeavesNoThreadAndNoCallback) {
    const int threads = st::ThreadCount();
    auto cam = Open(0, 10);
    ASSERT_TRUE(st::WaitUntil([&] { return surface_.Count() >= 3; }, 20s));
    ASSERT_GT(view_.Count(), 0u);
    s_->BuildMediaCommand(1, 0, In(0));
    EXPECT_EQ(st::ThreadCount(), threads);
    EXPECT_TRUE(mt::PortFree(SOCK_DGRAM, port_, "127.0.0.1"));
    const std::size_t pictures = surface_.Count(), updates = view_.Count();
    const std::uint32_t frames = s_->Figures().frames;
    std::this_thread::sleep_for(500ms); // the camera goes on sending
    EXPECT_EQ(cam->Wait(0), -1);
    EXPECT_EQ(surface_.Count(), pictures);
    EXPECT_EQ(view_.Count(), updates);
    EXPECT_EQ(s_->Figures().frames, frames);
}

} // namespace

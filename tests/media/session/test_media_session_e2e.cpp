// The whole road at the session's level: an ffmpeg-made program stream sent by
// a camera sender over UDP, TCP with the session connecting and TCP with the
// session listening, received by a real CRTPSession, decoded by a real CVidana
// into a recording surface, and ended without a thread or a callback left.

#include "SessionTestUtil.h"
#include "media/MediaTestUtil.h"
#include "vidana/lib/VidanaTestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
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

    // A transport index in one reading of a=setup.
    struct Way {
        int transport;
        bool legacy;
    };
    MediaInputs In(Way w) const {
        MediaInputs in = st::LoopbackInputs(w.transport, port_);
        in.legacySetup = w.legacy;
        return in;
    }
    static const char* CamsimMode(Way w) {
        MediaInputs in;
        in.transport = w.transport;
        in.legacySetup = w.legacy;
        switch (ReceiverTcpRole(in)) {
        case TcpRole::Listen:
            return "tcp-connect";
        case TcpRole::Connect:
            return "tcp-listen";
        default:
            return "udp";
        }
    }
    MediaCommand Click(int set, int row, const MediaInputs& in) {
        MediaCommand c = s_->BuildMediaCommand(set, row, in);
        if (c.offer) s_->OfferSent(c.offer, 1); // every stream here is call 1
        return c;
    }
    AnswerOutcome Answer(int cid, int did, const std::string& sdp, const MediaInputs& in) {
        return s_->OnCallAnswered(cid, did, sdp, in);
    }
    static std::string CameraOut(Way w) {
        return *dir_ / ("camsim-" + std::string(CamsimMode(w)) + ".out");
    }

    std::unique_ptr<mt::Proc> Camera(const std::string& transport, int port, int fps) {
        const std::string out = *dir_ / ("camsim-" + transport + ".out");
        std::vector<std::string> args{"/usr/bin/python3", mt::Camsim(), "--es", es_, "--transport",
                                      transport, "--host", "127.0.0.1", "--bind", "127.0.0.1",
                                      "--port", std::to_string(port), "--fps", std::to_string(fps)};
        if (dropAfter_) {
            args.push_back("--drop-after");
            args.push_back(std::to_string(dropAfter_));
        }
        return std::make_unique<mt::Proc>(args, out, *dir_ / ("camsim-" + transport + ".err"));
    }

    // Opens the live view over the transport with a camera sending at fps.
    std::unique_ptr<mt::Proc> Open(Way w, int fps) {
        std::unique_ptr<mt::Proc> cam;
        const std::string mode = CamsimMode(w);
        // A listening device answers the port it listens on (here the
        // receiver port + 2, where the old reading looked for it).
        int answerPort = 15060;
        if (mode == "tcp-listen") {
            answerPort = port_ + 2;
            cam = Camera(mode, answerPort, fps);
            const std::string out = *dir_ / "camsim-tcp-listen.out";
            EXPECT_TRUE(st::WaitUntil([&] { return vt::ReadFile(out).size() > 0; }));
        }
        EXPECT_TRUE(Click(0, 0, In(w)).send);
        EXPECT_TRUE(Answer(1, 1, st::VideoAnswer("Play", answerPort), In(w)).receivable);
        EXPECT_TRUE(s_->Receiver().exists);
        if (mode == "udp") cam = Camera(mode, port_, fps);
        if (mode == "tcp-connect") cam = Camera(mode, port_, fps);
        return cam;
    }

    bool SameAsReference(std::size_t picture, std::size_t index) {
        const std::size_t n = std::size_t(kW) * kH * 3;
        // The first picture is the black one that clears the view.
        const auto& p = surface_.pictures[picture + 1];
        return p.width == kW && p.height == kH &&
               std::memcmp(p.bgr.data(), reference_.data() + index * n, n) == 0;
    }

    void StreamWholeAndCompare(Way transport) {
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

        // Before the stream, a black picture covers the whole view: nothing
        // of an earlier stream stays.
        ASSERT_GT(surface_.Count(), 1u);
        const auto& black = surface_.pictures[0];
        EXPECT_EQ(black.width, kW);
        EXPECT_EQ(black.height, kH);
        EXPECT_TRUE(std::all_of(black.bgr.begin(), black.bgr.end(), [](auto b) { return b == 0; }));
        EXPECT_EQ(f.frames + 1, surface_.Count()); // one picture per frame without B-frames
        EXPECT_EQ(f.empty, 0u);
        EXPECT_EQ(f.bytes, std::accumulate(unitSizes_.begin(), unitSizes_.begin() + f.frames,
                                           std::uint64_t(0)));
        const bool whole = f.frames == expected;
        if (transport.transport != 0) {
            EXPECT_TRUE(whole); // TCP loses nothing
        }
        if (whole) {
            for (std::size_t i = 0; i + 1 < surface_.Count(); ++i)
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
        if (transport.transport != 0) {
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

    bool Said(const std::string& part) {
        for (const std::string& m : view_.Messages())
            if (m.find(part) != std::string::npos) return true;
        return false;
    }
    static bool CameraSaid(Way w, const std::string& part) {
        const auto out = vt::ReadFile(CameraOut(w));
        return std::string(out.begin(), out.end()).find(part) != std::string::npos;
    }

    static inline vt::TempDir* dir_ = nullptr;
    static inline std::string vob_, es_;
    static inline std::vector<std::size_t> unitSizes_;
    static inline std::vector<std::uint8_t> reference_;

    uint16_t port_ = 0;
    int dropAfter_ = 0; // the camera drops its TCP connection before this picture (0 never)
    CVidana decoder_;
    vt::RecordingSurface surface_{kW, kH};
    st::RecordingSignal signal_;
    st::RecordingView view_;
    std::unique_ptr<CMediaSession> s_;
};

TEST_F(SessionStream, OverUdp) {
    StreamWholeAndCompare({0, false});
}

// RFC 4145: "TCP active" connects to the answer's address and port.
TEST_F(SessionStream, OverTcpActiveConnectingToTheAnswersPort) {
    StreamWholeAndCompare({2, false});
}

// RFC 4145: "TCP passive" listens before the offer; the device connects.
TEST_F(SessionStream, OverTcpPassiveListeningBeforeTheOffer) {
    StreamWholeAndCompare({1, false});
}

// The old reading, for devices that need it: the roles swapped.
TEST_F(SessionStream, OldReadingTcpPassiveConnectsToTheDevice) {
    StreamWholeAndCompare({1, true});
}

TEST_F(SessionStream, OldReadingTcpActiveListensBeforeTheOffer) {
    StreamWholeAndCompare({2, true});
}

// A download of a 40 s recording, sent fast: MediaStatus 121 ends it, and the
// file <channel>-<start>-<end>.mp4 in the working folder is what ffprobe reads
// as 40 s, with the camera's pictures (all but the last, which waits for a
// next timestamp that never comes).
// The camera drops the TCP connection mid-stream and takes a new one (it
// connects again, or accepts ours): every picture is still shown, equal to
// ffmpeg's, and the drop and the reconnection are said.
TEST_F(SessionStream, TcpActiveDroppedMidStreamConnectsAgainWithEveryPicture) {
    dropAfter_ = 12;
    StreamWholeAndCompare({2, false});
    EXPECT_TRUE(Said("dropped; connecting again"));
    EXPECT_TRUE(Said("re-established (try 1)"));
    EXPECT_TRUE(CameraSaid({2, false}, "\"reconnects\": 1"));
}

TEST_F(SessionStream, TcpPassiveDroppedMidStreamAcceptsAgainWithEveryPicture) {
    dropAfter_ = 12;
    StreamWholeAndCompare({1, false});
    EXPECT_TRUE(Said("closed by the device; waiting for it to connect again"));
    EXPECT_TRUE(Said("accepted again from 127.0.0.1"));
    EXPECT_TRUE(CameraSaid({1, false}, "\"reconnects\": 1"));
}

TEST_F(SessionStream, DownloadSavedAsMp4OfTheRecordingsLength) {
    const std::string es =
        mt::MakeH264(dir_->Path().string(), "forty.h264", "160x120", 40.0, "-bf 0");
    ASSERT_FALSE(es.empty());
    s_->SelectRecording("2024-01-01T00:00:00", "2024-01-01T00:00:40");
    MediaInputs in = In({0, false});
    in.channelId = "34020000001310000001";
    in.savePs = true; // 保存PS流
    EXPECT_TRUE(Click(2, 0, in).send);
    EXPECT_TRUE(Answer(1, 1, st::VideoAnswer("Download"), in).started);
    const std::string out = *dir_ / "camsim-forty.out";
    mt::Proc cam(std::vector<std::string>{"/usr/bin/python3", mt::Camsim(), "--es", es,
                                          "--transport", "udp", "--host", "127.0.0.1", "--bind",
                                          "127.0.0.1", "--port", std::to_string(port_), "--fps",
                                          "400"},
                 out, *dir_ / "camsim-forty.err");
    ASSERT_EQ(cam.Wait(120), 0);
    const std::size_t units = vidana::SplitAccessUnits(vt::ReadFile(es)).size();
    ASSERT_EQ(units, 1000u);
    st::WaitUntil([&] { return s_->Figures().frames >= units - 1; }, 20s);
    const std::uint32_t frames = s_->Figures().frames;
    // Sent in a few seconds, the progress is the stream's own time: its RTP
    // timestamps from the first picture to the last one handed on.
    if (frames == units - 1) {
        st::WaitUntil([&] { return view_.LastProgressText() == "00:00:39/00:00:40"; }, 5s);
        EXPECT_EQ(view_.LastProgressText(), "00:00:39/00:00:40");
    }
    EXPECT_EQ(s_->OnMediaStatus("34020000001310000001", 121), 0);
    EXPECT_EQ(view_.LastProgressText(), "00:00:40/00:00:40"); // complete
    const std::string name = "34020000001310000001-20240101000000-20240101000040.mp4";
    const std::string ps = "34020000001310000001-20240101000000-20240101000040.ps";
    std::vector<std::string> said = view_.Messages();
    ASSERT_FALSE(said.empty());
    EXPECT_EQ(said.back(), "download saved: " + name);
    // The program stream as it came, beside it: ffmpeg reads the camera's
    // pictures out of it (all but the last, whose frame never completed).
    EXPECT_NE(std::find(said.begin(), said.end(), "program stream saved: " + ps), said.end());
    ASSERT_TRUE(std::filesystem::exists(ps));
    {
        const auto fromPs = vt::FfmpegPictures(*dir_, std::filesystem::absolute(ps), 32, 24);
        const auto original = vt::FfmpegPictures(*dir_, es, 32, 24);
        const std::size_t n = 32 * 24 * 3;
        ASSERT_GE(fromPs.size(), n);
        if (frames == units - 1) {
            EXPECT_EQ(fromPs.size() / n, frames);
            EXPECT_TRUE(std::equal(fromPs.begin(), fromPs.end(), original.begin()));
        } else {
            EXPECT_TRUE(std::equal(fromPs.begin(), fromPs.begin() + n, original.begin()));
        }
    }
    std::filesystem::remove(ps);
    ASSERT_TRUE(std::filesystem::exists(name));
    EXPECT_FALSE(std::filesystem::exists(name + ".es"));
    const std::string probe = mt::Capture(
        "ffprobe -v error -show_entries format=duration:stream=codec_name -of default=nw=1 " + name);
    EXPECT_NE(probe.find("codec_name=h264"), std::string::npos) << probe;
    const double duration = std::stod(probe.substr(probe.find("duration=") + 9));
    EXPECT_NEAR(duration, 40.0, 1.0) << probe;
    // Its pictures are the camera's, in order (over UDP a busy loopback may
    // lose a datagram: then the count falls short and only the first match).
    const auto saved = vt::FfmpegPictures(*dir_, std::filesystem::absolute(name), 32, 24);
    const auto camera = vt::FfmpegPictures(*dir_, es, 32, 24);
    const std::size_t n = 32 * 24 * 3;
    ASSERT_EQ(saved.size() % n, 0u);
    EXPECT_EQ(saved.size() / n, frames);
    if (frames == units - 1) {
        EXPECT_TRUE(std::equal(saved.begin(), saved.end(), camera.begin()));
    } else {
        EXPECT_TRUE(std::equal(saved.begin(), saved.begin() + n, camera.begin()));
    }
    std::filesystem::remove(name);
}

// 录像 of a live view: the pictures from the toggle on to the toggle off are an
// MP4 file of the camera's pictures; without a live view nothing starts.
TEST_F(SessionStream, LiveRecordingToggleSavesTheViewsPictures) {
    EXPECT_FALSE(s_->ToggleLiveRecording());
    ASSERT_FALSE(view_.Messages().empty());
    EXPECT_EQ(view_.Messages().back(), "录像 not started: no live view is open");
    MediaInputs in = In({0, false});
    in.channelId = "34020000001310000002";
    EXPECT_TRUE(Click(0, 0, in).send);
    EXPECT_TRUE(Answer(1, 1, st::VideoAnswer(), in).started);
    EXPECT_TRUE(s_->ToggleLiveRecording());
    EXPECT_TRUE(s_->LiveRecording());
    auto cam = Camera("udp", port_, 50);
    ASSERT_EQ(cam->Wait(60), 0);
    st::WaitUntil([&] { return s_->Figures().frames >= unitSizes_.size() - 1; }, 20s);
    const std::uint32_t frames = s_->Figures().frames;
    EXPECT_FALSE(s_->ToggleLiveRecording());
    const std::string said = view_.Messages().back();
    ASSERT_EQ(said.rfind("download saved: 34020000001310000002-", 0), 0u) << said;
    const std::string name = said.substr(std::string("download saved: ").size());
    ASSERT_TRUE(std::filesystem::exists(name));
    const std::string probe = mt::Capture(
        "ffprobe -v error -count_frames -show_entries stream=codec_name,nb_read_frames -of "
        "default=nw=1 " + name);
    EXPECT_NE(probe.find("codec_name=h264"), std::string::npos) << probe;
    EXPECT_NE(probe.find("nb_read_frames=" + std::to_string(frames)), std::string::npos) << probe;
    // Without 保存PS流 no program stream is kept.
    EXPECT_FALSE(std::filesystem::exists(PsFileName(name)));
    std::filesystem::remove(name);
    s_->Stop();
}

// 录像 with 保存PS流: the program stream as it came is kept beside the MP4,
// under the same name, whether the toggle or the view's end stops it; ffmpeg
// reads the camera's pictures out of both.
TEST_F(SessionStream, LiveRecordingWithSavePsKeepsTheProgramStreamBesideTheMp4) {
    const std::size_t n = 32 * 24 * 3;
    const auto camera = vt::FfmpegPictures(*dir_, es_, 32, 24);
    for (const bool byToggle : {true, false}) {
        SCOPED_TRACE(byToggle ? "ended by the toggle" : "ended with the view");
        const std::size_t before = view_.Messages().size();
        MediaInputs in = In({0, false});
        in.channelId = "34020000001310000003";
        ASSERT_TRUE(Click(0, 0, in).send);
        ASSERT_TRUE(Answer(1, 1, st::VideoAnswer(), in).started);
        ASSERT_TRUE(s_->ToggleLiveRecording(true));
        auto cam = Camera("udp", port_, 50);
        ASSERT_EQ(cam->Wait(60), 0);
        st::WaitUntil([&] { return s_->Figures().frames >= unitSizes_.size() - 1; }, 20s);
        const std::uint32_t frames = s_->Figures().frames;
        if (byToggle) {
            EXPECT_FALSE(s_->ToggleLiveRecording(true));
            EXPECT_TRUE(Click(1, 0, in).handled); // then the view is ended
        } else {
            EXPECT_TRUE(Click(1, 0, in).handled);
        }
        std::vector<std::string> said = view_.Messages();
        said.erase(said.begin(), said.begin() + std::ptrdiff_t(before));
        const auto mp4At = std::find_if(said.begin(), said.end(), [](const std::string& m) {
            return m.rfind("download saved: 34020000001310000003-", 0) == 0;
        });
        ASSERT_NE(mp4At, said.end());
        const std::string name = mp4At->substr(std::string("download saved: ").size());
        const std::string ps = PsFileName(name);
        EXPECT_NE(std::find(said.begin(), said.end(), "program stream saved: " + ps), said.end());
        ASSERT_TRUE(std::filesystem::exists(ps));
        ASSERT_TRUE(std::filesystem::exists(name));
        for (const std::string& file : {ps, name}) {
            const auto pictures = vt::FfmpegPictures(*dir_, std::filesystem::absolute(file), 32, 24);
            ASSERT_GE(pictures.size(), n) << file;
            if (frames == unitSizes_.size() - 1) {
                EXPECT_EQ(pictures.size() / n, frames) << file;
                EXPECT_TRUE(std::equal(pictures.begin(), pictures.end(), camera.begin())) << file;
            } else { // a datagram lost on a busy loopback: the first picture at least
                EXPECT_TRUE(std::equal(pictures.begin(), pictures.begin() + n, camera.begin()))
                    << file;
            }
            std::filesystem::remove(file);
        }
        // The start's name the file was written under is gone with the rename.
        EXPECT_FALSE(s_->LiveRecording());
    }
    s_->Stop();
}

// Elementary RTP from an independent sender: ffmpeg's own RTP muxer sends the
// clip as H.264 (RFC 6184: single NAL units, STAP-A, FU-A) or H.265 (RFC 7798:
// single, AP, FU) in the payload type and SSRC the answer names; the pictures
// shown are ffmpeg's decoding of the clip (all but the last, which waits for a
// next timestamp that never comes).
TEST_F(SessionStream, ElementaryRtpFromFfmpegsMuxerShowsTheClipsPictures) {
    struct Case {
        const char* codec;
        const char* payloadType;
    } cases[] = {{"H264", "98"}, {"H265", "99"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.codec);
        const bool hevc = std::string(c.codec) == "H265";
        const std::string es =
            // Without B-frames, as cameras send: ffmpeg's muxer stamps a raw
            // stream's pictures in decoding order.
            hevc ? mt::MakeHevc(dir_->Path().string(), "rtp.hevc", "320x240", 2.0,
                                "-x265-params bframes=0")
                 : mt::MakeH264(dir_->Path().string(), "rtp.h264", "320x240", 2.0, "-bf 0");
        ASSERT_FALSE(es.empty());
        const auto reference = vt::FfmpegPictures(*dir_, es, kW, kH);
        const std::size_t n = std::size_t(kW) * kH * 3;
        ASSERT_EQ(reference.size() % n, 0u);
        const std::size_t units = reference.size() / n;
        ASSERT_EQ(units, 50u);

        port_ = mt::FreePortBase();
        surface_.pictures.clear();
        CMediaSession::Options o;
        o.localIp = INADDR_LOOPBACK;
        s_ = std::make_unique<CMediaSession>(decoder_, &surface_, signal_, &view_, o);
        const MediaInputs in = In({0, false});
        EXPECT_TRUE(Click(0, 0, in).send);
        const std::string pt = c.payloadType;
        EXPECT_TRUE(Answer(1, 1,
                           st::VideoAnswer("Play", 15060, pt,
                                           "a=rtpmap:" + pt + " " + c.codec + "/90000\r\n"),
                           in)
                        .started);
        const ReceiverInfo before = s_->Receiver();
        EXPECT_EQ(before.payloadType, std::stoi(pt));
        EXPECT_EQ(before.format, hevc ? 2 : 1);
        // Small packets: every key frame is cut into fragmentation units.
        mt::Proc ffmpeg({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-re", "-i", es, "-c",
                         "copy", "-f", "rtp", "-payload_type", pt, "-ssrc", "100000001",
                         "rtp://127.0.0.1:" + std::to_string(port_) + "?pkt_size=600"},
                        *dir_ / "ffmpeg-rtp.out", *dir_ / "ffmpeg-rtp.err");
        ASSERT_EQ(ffmpeg.Wait(60), 0);
        st::WaitUntil([&] { return s_->Figures().frames >= units - 1; }, 20s);
        const StreamFigures f = s_->Figures();
        const ReceiverInfo r = s_->Receiver();
        s_->Stop();
        EXPECT_EQ(r.ssrc, std::optional<std::uint32_t>(100000001u));
        EXPECT_GT(r.packets, units); // fragmented key frames: more packets than pictures
        ASSERT_GT(surface_.Count(), 1u) << "frames " << f.frames << ", " << f.bytes << " bytes, "
                                        << r.packets << " packets, " << f.undecodable
                                        << " undecodable: " << view_.Last().statistics.value_or("");
        EXPECT_EQ(f.pictures, surface_.Count() - 1);
        if (f.frames == units - 1 && r.skippedPackets == 0) {
            EXPECT_EQ(f.pictures, units - 1);
            for (std::size_t i = 0; i + 1 < surface_.Count(); ++i) {
                const auto& p = surface_.pictures[i + 1];
                ASSERT_EQ(p.width, kW);
                ASSERT_TRUE(std::memcmp(p.bgr.data(), reference.data() + i * n, n) == 0)
                    << "picture " << i;
            }
        } else {
            // A datagram lost under load: the first pictures still match.
            ASSERT_GT(surface_.Count(), 1u);
            EXPECT_EQ(std::memcmp(surface_.pictures[1].bgr.data(), reference.data(), n), 0);
        }
    }
}

// Ended in the middle of a stream: the receiver's threads are gone, the port is
// free, and neither the surface nor the view hears anything more.
TEST_F(SessionStream, StopInTheMiddleLeavesNoThreadAndNoCallback) {
    const int threads = st::ThreadCount();
    auto cam = Open({0, false}, 10);
    ASSERT_TRUE(st::WaitUntil([&] { return surface_.Count() >= 3; }, 20s));
    ASSERT_GT(view_.Count(), 0u);
    Click(1, 0, In({0, false}));
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

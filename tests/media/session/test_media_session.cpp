// The media session's state: rows, answers per transport, calls ended, tree
// selection, and the figures it hands the view, with a clock stepped by hand.

#include "SessionTestUtil.h"
#include "base/Socket.h"
#include "media/MediaTestUtil.h"
#include "vidana/lib/VidanaTestUtil.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using namespace std::chrono_literals;
using Ended = std::vector<std::pair<int, int>>;

class Session : public ::testing::Test {
protected:
    void SetUp() override {
        port_ = mt::FreePortBase();
        ASSERT_NE(port_, 0);
        Make();
    }
    void Make() {
        s_.reset();
        CMediaSession::Options o;
        o.clock = clock_.Clock();
        o.localIp = INADDR_LOOPBACK;
        s_ = std::make_unique<CMediaSession>(decoder_, &surface_, signal_, &view_, o);
    }
    MediaInputs In(int transport) const { return st::LoopbackInputs(transport, port_); }
    // A row this session handles: whether it sends, and the set it shows.
    static void Expect(const MediaCommand& c, bool send, int showSet) {
        EXPECT_TRUE(c.handled);
        EXPECT_EQ(c.send, send);
        EXPECT_EQ(c.text.empty(), !send);
        EXPECT_EQ(c.showSet, showSet);
    }
    void Frame(std::int32_t length) {
        std::vector<unsigned char> bytes(static_cast<std::size_t>(std::max(length, 1)), 0);
        CMediaSession::FrameHandler(s_.get(), bytes.data(), length);
    }

    uint16_t port_ = 0;
    CVidana decoder_;
    vt::RecordingSurface surface_{352, 288};
    st::RecordingSignal signal_;
    st::RecordingView view_;
    st::StepClock clock_;
    std::unique_ptr<CMediaSession> s_;
};

TEST_F(Session, LiveRowOpensOnceAndItsCancelEndsCallReceiverAndDecoder) {
    const MediaCommand c = s_->BuildMediaCommand(0, 0, In(0));
    Expect(c, true, 1);
    EXPECT_EQ(c.kind, 5);
    EXPECT_STREQ(c.contentType, "application/sdp");
    EXPECT_EQ(c.text.rfind("v=0\r\no=34020000001320000001 0 0 IN IP4 127.0.0.1\r\ns=Play\r\n", 0),
              0u);
    EXPECT_TRUE(s_->LiveOpen());
    Expect(s_->BuildMediaCommand(0, 0, In(0)), false, -1); // open already: nothing is sent

    const AnswerOutcome a = s_->OnCallAnswered(7, 3, st::VideoAnswer(), In(0));
    EXPECT_EQ(a.stream, MediaStream::Live);
    EXPECT_TRUE(a.started);
    EXPECT_TRUE(s_->DisplayOn());
    EXPECT_EQ(s_->Receiver().port, port_);

    Expect(s_->BuildMediaCommand(1, 0, In(0)), false, 0);
    EXPECT_EQ(signal_.Ended(), (Ended{{7, 3}}));
    EXPECT_FALSE(s_->Receiver().exists);
    EXPECT_FALSE(s_->DisplayOn());
    EXPECT_FALSE(s_->LiveOpen());
    // The port is free again and the live row opens anew.
    EXPECT_TRUE(mt::PortFree(SOCK_DGRAM, port_));
    EXPECT_TRUE(s_->BuildMediaCommand(0, 0, In(0)).send);
}

TEST_F(Session, ReceiverStartsPerTransportIndex) {
    struct Case {
        int transport;
        bool atOffer, onAnswer;
    } cases[] = {
        {0, false, true}, {1, false, true}, {2, true, false}, {3, false, false}, {4, false, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE("transport " + std::to_string(c.transport));
        port_ = mt::FreePortBase();
        Make();
        // "TCP passive": the device listens at the receiver port + 2.
        UniqueSocket device;
        if (c.transport == 1) {
            device.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<uint16_t>(port_ + 2));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ASSERT_EQ(::bind(device.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
            ASSERT_EQ(::listen(device.get(), 1), 0);
        }
        s_->BuildMediaCommand(0, 0, In(c.transport));
        EXPECT_EQ(s_->Receiver().exists, c.atOffer);
        if (c.atOffer) {
            // Listening before the INVITE leaves: the device can connect now.
            EXPECT_TRUE(s_->Receiver().ready);
            EXPECT_FALSE(mt::PortFree(SOCK_STREAM, port_));
        }
        const AnswerOutcome a = s_->OnCallAnswered(1, 1, st::VideoAnswer(), In(c.transport));
        EXPECT_TRUE(a.receivable);
        EXPECT_EQ(a.started, c.onAnswer);
        const ReceiverInfo r = s_->Receiver();
        EXPECT_EQ(r.exists, c.atOffer || c.onAnswer);
        if (r.exists) {
            EXPECT_EQ(r.transport, c.transport);
            EXPECT_EQ(r.port, port_);
        }
        if (c.transport == 1) {
            sockaddr_in peer{};
            socklen_t len = sizeof peer;
            UniqueSocket conn(::accept(device.get(), reinterpret_cast<sockaddr*>(&peer), &len));
            ASSERT_TRUE(conn.valid());
            EXPECT_EQ(ntohs(peer.sin_port), port_); // bound to the receiver port
        }
        s_->Stop();
        EXPECT_FALSE(s_->Receiver().exists);
    }
}

TEST_F(Session, OnlyAVideoLineWithAConnectionStartsTheReceiver) {
    const std::string head = "v=0\r\no=dev 0 0 IN IP4 127.0.0.1\r\ns=Play\r\n";
    const std::pair<std::string, bool> cases[] = {
        {st::VideoAnswer(), true},
        {head + "t=0 0\r\nm=video 15060 RTP/AVP 96\r\nc=IN IP4 127.0.0.1\r\n", true},
        {head + "t=0 0\r\nm=audio 15060 RTP/AVP 8\r\nc=IN IP4 127.0.0.1\r\n"
                "m=video 15062 RTP/AVP 96\r\nc=IN IP4 127.0.0.1\r\n",
         true},
        {st::AudioAnswer(), false},
        {head + "t=0 0\r\nm=video 15060 RTP/AVP 96\r\n", false},
        {head + "c=IN IP4 127.0.0.1\r\nt=0 0\r\nm=audio 15060 RTP/AVP 8\r\n", false},
        {"not an SDP at all", false},
        {"", false},
    };
    int cid = 0;
    for (const auto& [sdp, starts] : cases) {
        SCOPED_TRACE(sdp);
        Make();
        s_->BuildMediaCommand(0, 0, In(0));
        ++cid;
        const AnswerOutcome a = s_->OnCallAnswered(cid, cid, sdp, In(0));
        EXPECT_EQ(a.started, starts);
        EXPECT_EQ(s_->Receiver().exists, starts);
        // Started or not, the call is the live view's: its cancel ends it.
        s_->BuildMediaCommand(1, 0, In(0));
        EXPECT_EQ(signal_.Ended().back(), std::make_pair(cid, cid));
    }
}

TEST_F(Session, VoiceRowsOfferAudioAgainAndAgainAndTheirAnswersStartNothing) {
    const MediaCommand b1 = s_->BuildMediaCommand(0, 1, In(2));
    Expect(b1, true, -1);
    EXPECT_EQ(s_->BuildMediaCommand(0, 1, In(2)).text, b1.text);
    EXPECT_NE(b1.text.find("s=BroadCast\r\nc=IN IP4 127.0.0.1\r\nt=0 0 \r\nm=audio"),
              std::string::npos);
    EXPECT_NE(s_->BuildMediaCommand(0, 2, In(2)).text.find("s=Dialog\r\n"), std::string::npos);
    EXPECT_FALSE(s_->LiveOpen());
    // Not even "TCP active" listens for a voice offer.
    EXPECT_FALSE(s_->Receiver().exists);
    EXPECT_EQ(s_->OnCallAnswered(11, 1, st::AudioAnswer(), In(2)).stream, MediaStream::Voice);
    // Even a device that answers a voice offer with video gets no receiver.
    const AnswerOutcome v = s_->OnCallAnswered(12, 2, st::VideoAnswer(), In(0));
    EXPECT_EQ(v.stream, MediaStream::Voice);
    EXPECT_FALSE(v.started);
    EXPECT_FALSE(s_->Receiver().exists);
    EXPECT_TRUE(signal_.Ended().empty());
    s_->Stop();
    EXPECT_EQ(signal_.Ended(), (Ended{{11, 1}, {12, 2}}));
}

TEST_F(Session, PlaybackAndDownloadOpenSetThreeWithControlsInTheirDialog) {
    const MediaCommand p = s_->BuildMediaCommand(2, 1, In(0));
    Expect(p, true, 3);
    EXPECT_NE(p.text.find("t=1700000000 1700000060 \r\n"), std::string::npos);
    EXPECT_NE(p.text.find("y=1100000001\r\n"), std::string::npos);
    EXPECT_TRUE(s_->PlaybackOpen());
    Expect(s_->BuildMediaCommand(2, 1, In(0)), false, -1);
    // A voice call answered later does not take the controls' dialog.
    s_->OnCallAnswered(21, 5, st::VideoAnswer("Playback"), In(0));
    s_->BuildMediaCommand(0, 1, In(0));
    s_->OnCallAnswered(22, 6, st::AudioAnswer(), In(0));

    const MediaCommand fast = s_->BuildMediaCommand(3, 4, In(0));
    Expect(fast, true, -1);
    EXPECT_EQ(fast.kind, 6);
    EXPECT_STREQ(fast.contentType, "Application/MANSRTSP");
    EXPECT_EQ(fast.text, "PLAY RTSP/1.0\r\nCSeq: 2\r\nScale: 2.0\r\nRange: npt=0-\r\n");
    EXPECT_EQ(std::make_pair(fast.cid, fast.did), std::make_pair(21, 5));
    EXPECT_TRUE(s_->Receiver().exists);

    Expect(s_->BuildMediaCommand(3, 1, In(0)), false, 2);
    EXPECT_EQ(signal_.Ended(), (Ended{{21, 5}}));
    EXPECT_FALSE(s_->PlaybackOpen());
    EXPECT_FALSE(s_->Receiver().exists);
    // Without an answered call the control text has no dialog.
    EXPECT_EQ(s_->BuildMediaCommand(3, 3, In(0)).did, 0);

    const MediaCommand dl = s_->BuildMediaCommand(2, 0, In(0));
    Expect(dl, true, 3);
    EXPECT_NE(dl.text.find("a=downloadspeed:4\r\n"), std::string::npos);
    EXPECT_TRUE(s_->DownloadOpen());
    Expect(s_->BuildMediaCommand(3, 0, In(0)), false, 2);
    EXPECT_FALSE(s_->DownloadOpen());
    EXPECT_EQ(signal_.Ended().size(), 1u); // the download was never answered
    // Rows of other kinds are the command builder's.
    EXPECT_FALSE(s_->BuildMediaCommand(0, 3, In(0)).handled);
    EXPECT_FALSE(s_->BuildMediaCommand(1, 5, In(0)).handled);
    EXPECT_FALSE(s_->BuildMediaCommand(4, 0, In(0)).handled);
}

TEST_F(Session, TreeSelectionEndsAnOpenLiveViewAndNamesTheSetToShow) {
    EXPECT_EQ(s_->SelectChannel(), 0);
    EXPECT_EQ(s_->SelectDevice(), -1);
    s_->BuildMediaCommand(0, 0, In(0));
    s_->OnCallAnswered(31, 1, st::VideoAnswer(), In(0));
    EXPECT_EQ(s_->SelectChannel(), 1);
    EXPECT_EQ(s_->SelectDevice(), 0);
    EXPECT_EQ(signal_.Ended(), (Ended{{31, 1}}));
    EXPECT_FALSE(s_->LiveOpen());
    EXPECT_FALSE(s_->Receiver().exists);

    s_->BuildMediaCommand(0, 0, In(0));
    s_->OnCallAnswered(32, 2, st::VideoAnswer(), In(0));
    EXPECT_EQ(s_->SelectRecording("2024-01-01T00:00:00", "2024-01-01T00:10:00"), 2);
    EXPECT_EQ(signal_.Ended().back(), std::make_pair(32, 2));
    EXPECT_FALSE(s_->LiveOpen());
    EXPECT_EQ(s_->RecordingDurationSeconds(), 600);
    const MediaViewUpdate u = view_.Last();
    EXPECT_EQ(u.progressText, "00:00:00/00:10:00");
    EXPECT_EQ(u.progressMax, 600);
    EXPECT_EQ(u.progressPos, 1);

    s_->BuildMediaCommand(2, 1, In(0));
    EXPECT_EQ(s_->SelectRecording("2024-01-01T00:00:00", "2024-01-01T00:00:30"), 3);
    EXPECT_TRUE(s_->PlaybackOpen());
    // An end before the start shows as no length at all.
    s_->SelectRecording("2024-01-01T00:10:00", "2024-01-01T00:00:00");
    EXPECT_EQ(s_->RecordingDurationSeconds(), -600);
    EXPECT_EQ(view_.Last().progressText, "00:00:00/00:00:00");
    EXPECT_EQ(view_.Last().progressMax, 0);
}

// With the start worker an answer returns at once, while its receiver still
// connects to the device on m_hStart.
TEST_F(Session, WithTheStartWorkerAnAnswerReturnsWhileItsReceiverConnects) {
    // "TCP passive": the device listens at the receiver port + 2, its accept
    // queue full, so that a new connection waits until it accepts one.
    UniqueSocket device(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port_ + 2));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(device.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(device.get(), 0), 0);
    UniqueSocket filler(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(::connect(filler.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    timeval wait{20, 0};
    ::setsockopt(device.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);

    CMediaSession::Options o;
    o.localIp = INADDR_LOOPBACK;
    o.startWorker = true;
    s_ = std::make_unique<CMediaSession>(decoder_, nullptr, signal_, &view_, o);
    s_->SetSurface(&surface_);
    s_->BuildMediaCommand(0, 0, In(1));
    const AnswerOutcome answer = s_->OnCallAnswered(1, 1, st::VideoAnswer(), In(1));
    EXPECT_TRUE(answer.starting);
    EXPECT_FALSE(answer.started);
    EXPECT_FALSE(s_->Receiver().exists);
    // The device takes its connections: the receiver comes up.
    UniqueSocket first(::accept(device.get(), nullptr, nullptr));
    UniqueSocket conn(::accept(device.get(), nullptr, nullptr));
    ASSERT_TRUE(conn.valid());
    EXPECT_TRUE(st::WaitUntil([&] { return s_->Receiver().ready; }));
    s_->BuildMediaCommand(1, 0, In(1));
    EXPECT_EQ(signal_.Ended(), (Ended{{1, 1}}));
    EXPECT_FALSE(s_->Receiver().exists);
}

// Another program holds the receiver's RTP or RTCP port: the set-up on the
// session's thread fails, and the view is told which ports and why; the
// stream still ends as usual.
TEST_F(Session, PortTakenByAnotherProgramIsReportedToTheView) {
    for (const int held : {0, 1}) {
        SCOPED_TRACE(held);
        port_ = mt::FreePortBase();
        ASSERT_NE(port_, 0);
        UniqueSocket other(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port_ + held));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::bind(other.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);

        st::RecordingView view;
        CMediaSession::Options o;
        o.localIp = INADDR_LOOPBACK;
        o.startWorker = true;
        s_ = std::make_unique<CMediaSession>(decoder_, &surface_, signal_, &view, o);
        s_->BuildMediaCommand(0, 0, In(0));
        EXPECT_TRUE(s_->OnCallAnswered(1, 1, st::VideoAnswer(), In(0)).starting);
        ASSERT_TRUE(st::WaitUntil([&] { return !view.Messages().empty(); }));
        const std::string p = std::to_string(port_);
        const std::string q = std::to_string(port_ + 1);
        EXPECT_EQ(view.Messages(),
                  (std::vector<std::string>{"media receiver not started: cannot open UDP port " + p +
                                            " or " + q + ": " + std::strerror(EADDRINUSE)}));
        EXPECT_TRUE(st::WaitUntil([&] { return s_->Receiver().exists; }));
        EXPECT_FALSE(s_->Receiver().ready);
        s_->BuildMediaCommand(1, 0, In(0));
        EXPECT_FALSE(s_->Receiver().exists);
        s_.reset();
    }
}

// "TCP active" listens when the offer is built, on the GUI's thread: a port
// another program listens on is reported the same way.
TEST_F(Session, TcpListenPortTakenIsReportedToTheView) {
    port_ = mt::FreePortBase();
    ASSERT_NE(port_, 0);
    UniqueSocket other(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port_));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(other.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(other.get(), 1), 0);

    st::RecordingView view;
    CMediaSession::Options o;
    o.localIp = INADDR_LOOPBACK;
    s_ = std::make_unique<CMediaSession>(decoder_, &surface_, signal_, &view, o);
    EXPECT_TRUE(s_->BuildMediaCommand(0, 0, In(2)).send);
    ASSERT_TRUE(st::WaitUntil([&] { return !view.Messages().empty(); }));
    EXPECT_EQ(view.Messages(),
              (std::vector<std::string>{"media receiver not started: cannot open TCP port " +
                                        std::to_string(port_) + ": " + std::strerror(EADDRINUSE)}));
    EXPECT_FALSE(s_->Receiver().ready);
    s_->BuildMediaCommand(1, 0, In(2));
    EXPECT_FALSE(s_->Receiver().exists);
    s_.reset();
}

TEST_F(Session, CallsFollowTheirStreams) {
    // Ended before its answer: the answer's call is ended at once, nothing starts.
    s_->BuildMediaCommand(0, 0, In(0));
    s_->BuildMediaCommand(1, 0, In(0));
    EXPECT_TRUE(signal_.Ended().empty());
    const AnswerOutcome late = s_->OnCallAnswered(41, 4, st::VideoAnswer(), In(0));
    EXPECT_TRUE(late.ended);
    EXPECT_FALSE(late.started);
    EXPECT_EQ(signal_.Ended(), (Ended{{41, 4}}));
    EXPECT_FALSE(s_->Receiver().exists);

    // The device's BYE: reported, the receiver runs on, no BYE of ours later.
    s_->BuildMediaCommand(0, 0, In(0));
    s_->OnCallAnswered(51, 5, st::VideoAnswer(), In(0));
    EXPECT_EQ(s_->OnCallClosed(51), MediaStream::Live);
    EXPECT_EQ(s_->OnCallClosed(99), MediaStream::None);
    EXPECT_TRUE(s_->Receiver().exists);
    EXPECT_TRUE(s_->DisplayOn());
    s_->BuildMediaCommand(1, 0, In(0));
    EXPECT_EQ(signal_.Ended().size(), 1u);
    EXPECT_FALSE(s_->Receiver().exists);

    // A playback's receiver serves a live view offered meanwhile.
    s_->BuildMediaCommand(2, 1, In(0));
    EXPECT_TRUE(s_->OnCallAnswered(61, 1, st::VideoAnswer("Playback"), In(0)).started);
    s_->BuildMediaCommand(0, 0, In(0));
    const AnswerOutcome live = s_->OnCallAnswered(62, 2, st::VideoAnswer(), In(0));
    EXPECT_EQ(live.stream, MediaStream::Live);
    EXPECT_FALSE(live.started);
    EXPECT_EQ(s_->Receiver().port, port_);
    // An INVITE that is none of ours (typed by hand) still starts a receiver
    // from the settings of the moment.
    s_->BuildMediaCommand(1, 0, In(0));
    EXPECT_EQ(s_->OnCallAnswered(63, 3, st::VideoAnswer(), In(0)).stream, MediaStream::None);
    EXPECT_TRUE(s_->Receiver().exists);

    // Exit ends every call still open: the playback's and the hand-typed one.
    s_->Stop();
    EXPECT_EQ(signal_.Ended(), (Ended{{41, 4}, {62, 2}, {61, 1}, {63, 3}}));
    EXPECT_FALSE(s_->Receiver().exists);
}

TEST_F(Session, AnOfferLongerThanTheMessageBufferIsRefusedAndChangesNothing) {
    MediaInputs in = In(2);
    in.address = std::string(1000, '1');
    const MediaCommand c = s_->BuildMediaCommand(0, 0, in);
    Expect(c, false, -1);
    EXPECT_NE(c.refusal.find("2048"), std::string::npos);
    EXPECT_FALSE(s_->LiveOpen());
    EXPECT_FALSE(s_->Receiver().exists);
    EXPECT_LE(s_->BuildMediaCommand(0, 0, In(0)).text.size(), kMediaTextRoom);
}

TEST_F(Session, FiguresAndElapsedFollowTheClockAtMostFourUpdatesASecond) {
    s_->BuildMediaCommand(0, 0, In(0));
    ASSERT_TRUE(s_->OnCallAnswered(1, 1, st::VideoAnswer(), In(0)).started);
    const std::size_t before = view_.Count();
    clock_.Advance(500ms);
    Frame(1000);
    ASSERT_EQ(view_.Count(), before + 1);
    // Bytes that are no H.264 are no picture: one bad frame, one frame in
    // the last second, no RTP timestamp for the device's rate.
    EXPECT_EQ(view_.Last().statistics,
              "解码 0帧 丢 0包 坏 1帧 帧率 1 Fps 设备 0 Fps 接收数据 0 KB 码率 0 KBps \n");
    EXPECT_EQ(view_.Last().progressText, "00:00:00/12:00:00");
    EXPECT_FALSE(view_.Last().progressPos);
    // Within the interval nothing more goes to the view.
    Frame(0);
    clock_.Advance(249ms);
    Frame(3000);
    EXPECT_EQ(view_.Count(), before + 1);
    clock_.Advance(3725s - 749ms);
    Frame(2048);
    ASSERT_EQ(view_.Count(), before + 2);
    // The last second holds the one frame just come.
    EXPECT_EQ(view_.Last().statistics,
              "解码 0帧 丢 0包 坏 3帧 帧率 1 Fps 设备 0 Fps 接收数据 5 KB 码率 2 KBps \n");
    EXPECT_EQ(view_.Last().progressText, "01:02:05/12:00:00");
    Frame(10000);
    EXPECT_EQ(view_.Count(), before + 2);
    const StreamFigures f = s_->Figures();
    EXPECT_EQ(f.frames, 4u);
    EXPECT_EQ(f.empty, 1u);
    EXPECT_EQ(f.bytes, 16048u);
    // What was held back goes out when the stream ends, and nothing after.
    s_->BuildMediaCommand(1, 0, In(0));
    ASSERT_EQ(view_.Count(), before + 3);
    EXPECT_EQ(view_.Last().statistics,
              "解码 0帧 丢 0包 坏 4帧 帧率 2 Fps 设备 0 Fps 接收数据 15 KB 码率 11 KBps \n");
    Frame(500);
    EXPECT_EQ(view_.Count(), before + 3);
    EXPECT_EQ(s_->Figures().frames, 4u);
}

TEST_F(Session, DownloadProgressCountsSpeedTimesElapsedUpToTheRecordingsEnd) {
    s_->SelectRecording("2024-01-01T00:00:00", "2024-01-01T00:01:00");
    s_->BuildMediaCommand(2, 0, In(0));
    ASSERT_TRUE(s_->OnCallAnswered(1, 1, st::VideoAnswer("Download"), In(0)).started);
    clock_.Advance(10s);
    Frame(100);
    EXPECT_EQ(view_.Last().progressPos, 40);
    EXPECT_EQ(view_.Last().progressText, "00:00:40/00:01:00");
    clock_.Advance(6s); // 64 s of a 60 s recording
    Frame(100);
    EXPECT_TRUE(view_.Last().statistics);
    EXPECT_FALSE(view_.Last().progressPos);
    EXPECT_FALSE(view_.Last().progressText);
}

// The drag rectangle reaches the decoder before every frame: drawn over the
// first picture, gone from the second once cleared.
TEST_F(Session, DragRectangleIsDrawnOverThePictures) {
    vt::TempDir dir;
    const std::string es = vt::MakeH264(dir, "two.h264", 352, 288, 2, "-bf 0");
    const auto stream = vt::ReadFile(es);
    const auto units = vidana::SplitAccessUnits(stream);
    ASSERT_EQ(units.size(), 2u);
    const auto ref = vt::FfmpegPictures(dir, es, 352, 288);
    const std::size_t n = 352 * 288 * 3;
    ASSERT_EQ(ref.size(), 2 * n);
    s_->BuildMediaCommand(0, 0, In(0));
    ASSERT_TRUE(s_->OnCallAnswered(1, 1, st::VideoAnswer(), In(0)).started);
    s_->SetDragRect({100, 50, 300, 150});
    std::vector<unsigned char> au(units[0].begin(), units[0].end());
    CMediaSession::FrameHandler(s_.get(), au.data(), static_cast<std::int32_t>(au.size()));
    s_->SetDragRect({});
    au.assign(units[1].begin(), units[1].end());
    CMediaSession::FrameHandler(s_.get(), au.data(), static_cast<std::int32_t>(au.size()));
    ASSERT_EQ(surface_.Count(), 2u);
    const auto& first = surface_.pictures[0].bgr;
    auto at = [](int x, int y) { return (static_cast<std::size_t>(y) * 352 + x) * 3; };
    EXPECT_NE(std::memcmp(first.data() + at(100, 100), ref.data() + at(100, 100), 3), 0);
    EXPECT_EQ(std::memcmp(first.data() + at(200, 100), ref.data() + at(200, 100), 3), 0);
    EXPECT_EQ(std::memcmp(surface_.pictures[1].bgr.data(), ref.data() + n, n), 0);
}

} // namespace

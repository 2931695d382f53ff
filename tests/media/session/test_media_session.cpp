// The media session's state: rows, answers per transport, calls ended, tree
// selection, and the figures it hands the view, with a clock stepped by hand.

#include "SessionTestUtil.h"
#include "base/Socket.h"
#include "manscdp/search/CDlgSearch.h"
#include "media/session/SdpAnswer.h"
#include <algorithm>
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
        unsent_.clear();
        CMediaSession::Options o;
        o.clock = clock_.Clock();
        o.localIp = INADDR_LOOPBACK;
        unsent_.clear();
        s_ = std::make_unique<CMediaSession>(decoder_, &surface_, signal_, &view_, o);
    }
    MediaInputs In(int transport) const { return st::LoopbackInputs(transport, port_); }
    // A click whose offer goes out at the next answer, as that answer's INVITE.
    MediaCommand Click(int set, int row, const MediaInputs& in) {
        MediaCommand c = s_->BuildMediaCommand(set, row, in);
        if (c.offer) unsent_.push_back(c.offer);
        return c;
    }
    AnswerOutcome Answer(int cid, int did, const std::string& sdp, const MediaInputs& in) {
        if (!unsent_.empty()) {
            s_->OfferSent(unsent_.back(), cid);
            unsent_.pop_back();
        }
        return s_->OnCallAnswered(cid, did, sdp, in);
    }
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
    std::vector<std::uint64_t> unsent_;
};

TEST_F(Session, LiveRowOpensOnceAndItsCancelEndsCallReceiverAndDecoder) {
    const MediaCommand c = Click(0, 0, In(0));
    Expect(c, true, 1);
    EXPECT_EQ(c.kind, 5);
    EXPECT_STREQ(c.contentType, "application/sdp");
    EXPECT_EQ(c.text.rfind("v=0\r\no=34020000001320000001 0 0 IN IP4 127.0.0.1\r\ns=Play\r\n", 0),
              0u);
    EXPECT_TRUE(s_->LiveOpen());
    Expect(Click(0, 0, In(0)), false, -1); // open already: nothing is sent

    const AnswerOutcome a = Answer(7, 3, st::VideoAnswer(), In(0));
    EXPECT_EQ(a.stream, MediaStream::Live);
    EXPECT_TRUE(a.started);
    EXPECT_TRUE(s_->DisplayOn());
    EXPECT_EQ(s_->Receiver().port, port_);

    Expect(Click(1, 0, In(0)), false, 0);
    EXPECT_EQ(signal_.Ended(), (Ended{{7, 3}}));
    EXPECT_FALSE(s_->Receiver().exists);
    EXPECT_FALSE(s_->DisplayOn());
    EXPECT_FALSE(s_->LiveOpen());
    // The port is free again and the live row opens anew.
    EXPECT_TRUE(mt::PortFree(SOCK_DGRAM, port_));
    EXPECT_TRUE(Click(0, 0, In(0)).send);
}

// Which transport listens before the offer and which sets up on the answer,
// in RFC 4145's reading and in the old one; a connecting receiver binds the
// receiver port and goes to the answer's port, wherever the device listens
// (the old reading to the receiver port + 2 when the answer names the
// discard port 9).
TEST_F(Session, ReceiverStartsPerTransportIndexAndReading) {
    enum AnswerPort { Any, AtDevice, Discard };
    struct Case {
        int transport;
        bool legacy;
        bool atOffer, onAnswer;
        AnswerPort port;
    } cases[] = {
        {0, false, false, true, Any},     {1, false, true, false, Any},
        {2, false, false, true, AtDevice}, {3, false, false, false, Any},
        {4, false, false, false, Any},    {0, true, false, true, Any},
        {1, true, false, true, AtDevice},  {1, true, false, true, Discard},
        {2, true, true, false, Any},      {3, true, false, false, Any},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("transport " + std::to_string(c.transport) + (c.legacy ? " old" : " rfc") +
                     " answer " + std::to_string(c.port));
        port_ = mt::FreePortBase();
        Make();
        MediaInputs in = In(c.transport);
        in.legacySetup = c.legacy;
        // A device that listens on a port of its own (the receiver port + 2
        // for the discard port's old reading).
        UniqueSocket device;
        const bool connects = c.onAnswer && c.transport != 0;
        const int devicePort = c.port == Discard ? port_ + 2 : mt::FreePortBase();
        if (connects) {
            device.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<uint16_t>(devicePort));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ASSERT_EQ(::bind(device.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
            ASSERT_EQ(::listen(device.get(), 1), 0);
        }
        const MediaCommand offer = Click(0, 0, in);
        // The offer's text is the same in both readings.
        EXPECT_NE(offer.text.find(c.transport == 1   ? "a=setup:passive"
                                  : c.transport == 2 ? "a=setup:active"
                                                     : "a=recvonly"),
                  std::string::npos);
        EXPECT_EQ(s_->Receiver().exists, c.atOffer);
        if (c.atOffer) {
            // Listening before the INVITE leaves: the device can connect now.
            EXPECT_TRUE(s_->Receiver().ready);
            EXPECT_FALSE(mt::PortFree(SOCK_STREAM, port_));
        }
        const int answerPort = c.port == AtDevice ? devicePort : c.port == Discard ? 9 : 15060;
        const AnswerOutcome a = Answer(1, 1, st::VideoAnswer("Play", answerPort), in);
        EXPECT_TRUE(a.receivable);
        EXPECT_EQ(a.started, c.onAnswer);
        const ReceiverInfo r = s_->Receiver();
        EXPECT_EQ(r.exists, c.atOffer || c.onAnswer);
        if (r.exists) {
            EXPECT_EQ(r.transport, c.transport);
            EXPECT_EQ(r.port, port_);
        }
        if (connects) {
            sockaddr_in peer{};
            socklen_t len = sizeof peer;
            UniqueSocket conn(::accept(device.get(), reinterpret_cast<sockaddr*>(&peer), &len));
            ASSERT_TRUE(conn.valid());
            EXPECT_TRUE(r.ready);
            EXPECT_EQ(ntohs(peer.sin_port), port_); // from the receiver port
        }
        s_->Stop();
        EXPECT_FALSE(s_->Receiver().exists);
    }
}

// A connection the device refuses, and a stream that never comes, are said
// to the view; a stream from another SSRC than the answer's y= too.
TEST_F(Session, RefusedConnectionAndMissingOrForeignStreamAreSaid) {
    CMediaSession::Options o;
    o.clock = clock_.Clock();
    o.localIp = INADDR_LOOPBACK;
    o.noStreamAfter = 300ms;
    struct Case {
        int transport;
        int sendSsrc; // -1: nothing sent
        const char* said;
    } cases[] = {
        {2, -1, "failed: refused, unreachable or not accepted within 3 s"},
        {1, -1, "no RTP from the device within 0.3 s of its answer (TCP, listening on port "},
        {0, -1, "no RTP from the device within 0.3 s of its answer (UDP port "},
        {0, 7, "the device sends SSRC 7, not the 100000001 of its answer's y= line (UDP port "},
        {0, 100000001, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.said ? c.said : "nothing");
        port_ = mt::FreePortBase();
        st::RecordingView view;
        unsent_.clear();
        s_ = std::make_unique<CMediaSession>(decoder_, &surface_, signal_, &view, o);
        Click(0, 0, In(c.transport));
        // Nobody listens at the answer's port.
        const int answerPort = mt::FreePortBase();
        Answer(1, 1, st::VideoAnswer("Play", answerPort), In(c.transport));
        if (c.sendSsrc >= 0) {
            UniqueSocket tx(mt::UdpSocket(0));
            for (std::uint16_t k = 0; k < 4; ++k) {
                mt::RtpSpec rtp;
                rtp.ssrc = static_cast<std::uint32_t>(c.sendSsrc);
                rtp.seq = k;
                rtp.ts = 3600u * k;
                rtp.marker = true;
                mt::SendUdp(tx.get(), port_, mt::MakeRtp(rtp, std::vector<uint8_t>(20, 0)));
            }
            ASSERT_TRUE(st::WaitUntil([&] { return s_->Receiver().packets > 0; }, 2s));
        }
        std::this_thread::sleep_for(700ms);
        const auto said = view.Messages();
        if (!c.said) {
            EXPECT_TRUE(said.empty());
        } else {
            ASSERT_EQ(said.size(), 1u) << (said.empty() ? "" : said[0]);
            EXPECT_NE(said[0].find(c.said), std::string::npos) << said[0];
        }
        if (c.transport == 2) {
            EXPECT_EQ(said.at(0).rfind("media connection to 127.0.0.1:" +
                                           std::to_string(answerPort) + " failed",
                                       0),
                      0u);
        }
        s_.reset();
    }
}

// The answer's payload type: PS in whatever type a=rtpmap names (96 without
// one), elementary H.264 and H.265 are taken as they are named; an unknown
// encoding is said and taken as PS in its payload type.
TEST_F(Session, AnswersPayloadTypeAndEncodingAreTakenAsNamed) {
    struct Case {
        const char* formats;
        const char* rtpmaps;
        int payloadType;
        int format; // 0 PS, 1 H.264, 2 H.265
        const char* said;
    } cases[] = {
        {"96", "a=rtpmap:96 PS/90000\r\n", 96, 0, nullptr},
        {"96", "", 96, 0, nullptr},
        {"98", "a=rtpmap:98 PS/90000\r\n", 98, 0, nullptr},
        {"98", "a=rtpmap:98 H264/90000\r\n", 98, 1, nullptr},
        {"99 96", "a=rtpmap:96 PS/90000\r\na=rtpmap:99 H265/90000\r\n", 99, 2, nullptr},
        {"35", "a=rtpmap:35 MP2P/90000\r\n", 35, 0, nullptr},
        {"98", "", 98, 0, "payload type 98 (no a=rtpmap); taken as a program stream (PS) in payload type 98"},
        {"97", "a=rtpmap:97 MPEG4/90000\r\n", 97, 0, "payload type 97 (MPEG4)"},
    };
    for (int transport : {0, 1}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.formats) + " " + c.rtpmaps + " transport " +
                         std::to_string(transport));
            const AnswerMedia m =
                ReadAnswer(st::VideoAnswer("Play", 15060, c.formats, c.rtpmaps));
            EXPECT_EQ(m.ssrc, 100000001u);
            st::RecordingView view;
            port_ = mt::FreePortBase();
            unsent_.clear();
            s_ = std::make_unique<CMediaSession>(decoder_, &surface_, signal_, &view,
                                                 CMediaSession::Options{});
            Click(0, 0, In(transport)); // 1: listening since the offer
            Answer(1, 1, st::VideoAnswer("Play", 15060, c.formats, c.rtpmaps), In(transport));
            const ReceiverInfo r = s_->Receiver();
            ASSERT_TRUE(r.exists);
            EXPECT_EQ(r.payloadType, c.payloadType);
            EXPECT_EQ(r.format, c.format);
            EXPECT_EQ(r.expectedSsrc, std::optional<std::uint32_t>(100000001u));
            const auto said = view.Messages();
            if (!c.said) {
                EXPECT_TRUE(said.empty());
            } else {
                ASSERT_EQ(said.size(), 1u);
                EXPECT_NE(said[0].find(c.said), std::string::npos) << said[0];
            }
            s_.reset();
        }
    }
    const AnswerMedia a = ReadAnswer(
        "v=0\r\no=d 0 0 IN IP4 10.0.0.9\r\ns=Play\r\nc=IN IP4 10.0.0.9\r\nt=0 0\r\n"
        "m=video 40000 TCP/RTP/AVP 96\r\na=setup:passive\r\na=rtpmap:96 PS/90000\r\ny=x1\r\n");
    EXPECT_EQ(a.connection, "10.0.0.9");
    EXPECT_EQ(a.videoPort, 40000);
    EXPECT_EQ(a.setup, "passive");
    EXPECT_EQ(a.encoding, AnswerEncoding::Ps);
    EXPECT_FALSE(a.ssrc); // not a number
}

// A device that refuses the INVITE (488, say): the stream the offer opened
// ends unanswered, a listening receiver with it, and the row can be clicked
// again; a voice offer refused is only forgotten; a refused call of none of
// our offers is nothing.
TEST_F(Session, RefusedOfferEndsItsStream) {
    struct Case {
        int set, row, transport;
        MediaStream stream;
        bool (CMediaSession::*open)() const;
    } cases[] = {
        {0, 0, 0, MediaStream::Live, &CMediaSession::LiveOpen},
        {0, 0, 1, MediaStream::Live, &CMediaSession::LiveOpen}, // listening since the offer
        {2, 1, 0, MediaStream::Playback, &CMediaSession::PlaybackOpen},
        {2, 0, 1, MediaStream::Download, &CMediaSession::DownloadOpen},
        {0, 1, 0, MediaStream::Voice, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.set) + "/" + std::to_string(c.row) + " transport " +
                     std::to_string(c.transport));
        port_ = mt::FreePortBase();
        Make();
        const MediaCommand offer = s_->BuildMediaCommand(c.set, c.row, In(c.transport));
        ASSERT_TRUE(offer.send);
        s_->OfferSent(offer.offer, 7);
        EXPECT_EQ(s_->Receiver(c.stream).exists, c.transport == 1);
        EXPECT_EQ(s_->OnCallClosed(8), MediaStream::None); // not ours
        if (c.open) {
            EXPECT_TRUE((s_.get()->*c.open)());
        }
        EXPECT_EQ(s_->OnCallClosed(7), c.stream);
        EXPECT_EQ(s_->OnCallClosed(7), MediaStream::None); // its release later
        EXPECT_FALSE(s_->Receiver(c.stream).exists);
        if (c.open) {
            EXPECT_FALSE((s_.get()->*c.open)());
            EXPECT_TRUE(s_->BuildMediaCommand(c.set, c.row, In(c.transport)).send);
        }
        EXPECT_TRUE(signal_.Ended().empty()); // nothing to end on the wire
        s_.reset();
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
        Click(0, 0, In(0));
        ++cid;
        const AnswerOutcome a = Answer(cid, cid, sdp, In(0));
        EXPECT_EQ(a.started, starts);
        EXPECT_EQ(s_->Receiver().exists, starts);
        // Started or not, the call is the live view's: its cancel ends it.
        Click(1, 0, In(0));
        EXPECT_EQ(signal_.Ended().back(), std::make_pair(cid, cid));
    }
}

TEST_F(Session, VoiceRowsOfferAudioAgainAndAgainAndTheirAnswersStartNothing) {
    const MediaCommand b1 = Click(0, 1, In(1));
    Expect(b1, true, -1);
    EXPECT_EQ(Click(0, 1, In(1)).text, b1.text);
    EXPECT_NE(b1.text.find("s=BroadCast\r\nc=IN IP4 127.0.0.1\r\nt=0 0 \r\nm=audio"),
              std::string::npos);
    EXPECT_NE(Click(0, 2, In(1)).text.find("s=Dialog\r\n"), std::string::npos);
    EXPECT_FALSE(s_->LiveOpen());
    // Not even "TCP passive" listens for a voice offer.
    EXPECT_FALSE(s_->Receiver().exists);
    EXPECT_EQ(Answer(11, 1, st::AudioAnswer(), In(1)).stream, MediaStream::Voice);
    // Even a device that answers a voice offer with video gets no receiver.
    const AnswerOutcome v = Answer(12, 2, st::VideoAnswer(), In(0));
    EXPECT_EQ(v.stream, MediaStream::Voice);
    EXPECT_FALSE(v.started);
    EXPECT_FALSE(s_->Receiver().exists);
    EXPECT_TRUE(signal_.Ended().empty());
    s_->Stop();
    EXPECT_EQ(signal_.Ended(), (Ended{{11, 1}, {12, 2}}));
}

TEST_F(Session, PlaybackAndDownloadOpenSetThreeWithControlsInTheirDialog) {
    const MediaCommand p = Click(2, 1, In(0));
    Expect(p, true, 3);
    EXPECT_NE(p.text.find("t=1700000000 1700000060 \r\n"), std::string::npos);
    EXPECT_NE(p.text.find("y=1100000001\r\n"), std::string::npos);
    EXPECT_TRUE(s_->PlaybackOpen());
    Expect(Click(2, 1, In(0)), false, -1);
    // A voice call answered later does not take the controls' dialog.
    Answer(21, 5, st::VideoAnswer("Playback"), In(0));
    Click(0, 1, In(0));
    Answer(22, 6, st::AudioAnswer(), In(0));

    const MediaCommand fast = Click(3, 4, In(0));
    Expect(fast, true, -1);
    EXPECT_EQ(fast.kind, 6);
    EXPECT_STREQ(fast.contentType, "Application/MANSRTSP");
    EXPECT_EQ(fast.text, "PLAY RTSP/1.0\r\nCSeq: 2\r\nScale: 2.0\r\nRange: npt=0-\r\n");
    EXPECT_EQ(std::make_pair(fast.cid, fast.did), std::make_pair(21, 5));
    EXPECT_TRUE(s_->Receiver().exists);

    Expect(Click(3, 1, In(0)), false, 2);
    EXPECT_EQ(signal_.Ended(), (Ended{{21, 5}}));
    EXPECT_FALSE(s_->PlaybackOpen());
    EXPECT_FALSE(s_->Receiver().exists);
    // Without an answered call the control text has no dialog.
    EXPECT_EQ(Click(3, 3, In(0)).did, 0);

    const MediaCommand dl = Click(2, 0, In(0));
    Expect(dl, true, 3);
    EXPECT_NE(dl.text.find("a=downloadspeed:4\r\n"), std::string::npos);
    EXPECT_TRUE(s_->DownloadOpen());
    Expect(Click(3, 0, In(0)), false, 2);
    EXPECT_FALSE(s_->DownloadOpen());
    EXPECT_EQ(signal_.Ended().size(), 1u); // the download was never answered
    // Rows of other kinds are the command builder's.
    EXPECT_FALSE(Click(0, 3, In(0)).handled);
    EXPECT_FALSE(Click(1, 5, In(0)).handled);
    EXPECT_FALSE(Click(4, 0, In(0)).handled);
}

TEST_F(Session, TreeSelectionEndsAnOpenLiveViewAndNamesTheSetToShow) {
    EXPECT_EQ(s_->SelectChannel(), 0);
    EXPECT_EQ(s_->SelectDevice(), -1);
    Click(0, 0, In(0));
    Answer(31, 1, st::VideoAnswer(), In(0));
    EXPECT_EQ(s_->SelectChannel(), 1);
    EXPECT_EQ(s_->SelectDevice(), 0);
    EXPECT_EQ(signal_.Ended(), (Ended{{31, 1}}));
    EXPECT_FALSE(s_->LiveOpen());
    EXPECT_FALSE(s_->Receiver().exists);

    Click(0, 0, In(0));
    Answer(32, 2, st::VideoAnswer(), In(0));
    EXPECT_EQ(s_->SelectRecording("2024-01-01T00:00:00", "2024-01-01T00:10:00"), 2);
    EXPECT_EQ(signal_.Ended().back(), std::make_pair(32, 2));
    EXPECT_FALSE(s_->LiveOpen());
    EXPECT_EQ(s_->RecordingDurationSeconds(), 600);
    const MediaViewUpdate u = view_.Last();
    EXPECT_EQ(u.progressText, "00:00:00/00:10:00");
    EXPECT_EQ(u.progressMax, 600);
    EXPECT_EQ(u.progressPos, 1);

    Click(2, 1, In(0));
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
    // "TCP active": the device listens at the answer's port, its accept
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
    unsent_.clear();
    s_ = std::make_unique<CMediaSession>(decoder_, nullptr, signal_, &view_, o);
    s_->SetSurface(&surface_);
    Click(0, 0, In(2));
    const AnswerOutcome answer =
        Answer(1, 1, st::VideoAnswer("Play", port_ + 2), In(2));
    EXPECT_TRUE(answer.starting);
    EXPECT_FALSE(answer.started);
    EXPECT_FALSE(s_->Receiver().exists);
    // The device takes its connections: the receiver comes up.
    UniqueSocket first(::accept(device.get(), nullptr, nullptr));
    UniqueSocket conn(::accept(device.get(), nullptr, nullptr));
    ASSERT_TRUE(conn.valid());
    EXPECT_TRUE(st::WaitUntil([&] { return s_->Receiver().ready; }));
    Click(1, 0, In(2));
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
        unsent_.clear();
        s_ = std::make_unique<CMediaSession>(decoder_, &surface_, signal_, &view, o);
        Click(0, 0, In(0));
        EXPECT_TRUE(Answer(1, 1, st::VideoAnswer(), In(0)).starting);
        ASSERT_TRUE(st::WaitUntil([&] { return !view.Messages().empty(); }));
        const std::string p = std::to_string(port_);
        const std::string q = std::to_string(port_ + 1);
        EXPECT_EQ(view.Messages(),
                  (std::vector<std::string>{"media receiver not started: cannot open UDP port " + p +
                                            " or " + q + ": " + std::strerror(EADDRINUSE)}));
        EXPECT_TRUE(st::WaitUntil([&] { return s_->Receiver().exists; }));
        EXPECT_FALSE(s_->Receiver().ready);
        Click(1, 0, In(0));
        EXPECT_FALSE(s_->Receiver().exists);
        s_.reset();
    }
}

// "TCP passive" listens when the offer is built, on the GUI's thread: a port
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
    unsent_.clear();
    s_ = std::make_unique<CMediaSession>(decoder_, &surface_, signal_, &view, o);
    EXPECT_TRUE(Click(0, 0, In(1)).send);
    ASSERT_TRUE(st::WaitUntil([&] { return !view.Messages().empty(); }));
    EXPECT_EQ(view.Messages(),
              (std::vector<std::string>{"media receiver not started: cannot open TCP port " +
                                        std::to_string(port_) + ": " + std::strerror(EADDRINUSE)}));
    EXPECT_FALSE(s_->Receiver().ready);
    Click(1, 0, In(1));
    EXPECT_FALSE(s_->Receiver().exists);
    s_.reset();
}

TEST_F(Session, CallsFollowTheirStreams) {
    // Ended before its answer: the answer's call is ended at once, nothing starts.
    Click(0, 0, In(0));
    Click(1, 0, In(0));
    EXPECT_TRUE(signal_.Ended().empty());
    const AnswerOutcome late = Answer(41, 4, st::VideoAnswer(), In(0));
    EXPECT_TRUE(late.ended);
    EXPECT_FALSE(late.started);
    EXPECT_EQ(signal_.Ended(), (Ended{{41, 4}}));
    EXPECT_FALSE(s_->Receiver().exists);

    // The device's BYE: the stream ends in the window (receiver stopped,
    // progress closed, picture cleared), no BYE of ours.
    Click(0, 0, In(0));
    Answer(51, 5, st::VideoAnswer(), In(0));
    const std::size_t pictures = surface_.Count();
    EXPECT_EQ(s_->OnCallClosed(51), MediaStream::Live);
    EXPECT_EQ(s_->OnCallClosed(99), MediaStream::None);
    EXPECT_FALSE(s_->Receiver().exists);
    EXPECT_FALSE(s_->DisplayOn());
    EXPECT_FALSE(s_->LiveOpen());
    EXPECT_EQ(view_.Last().progressText, "");
    EXPECT_EQ(view_.Last().progressMax, 0);
    ASSERT_EQ(surface_.Count(), pictures + 1);
    const auto& cleared = surface_.pictures.back().bgr;
    EXPECT_TRUE(std::all_of(cleared.begin(), cleared.end(), [](auto b) { return b == 0; }));
    EXPECT_EQ(signal_.Ended().size(), 1u);

    // A live view offered while a playback runs gets a receiver of its own,
    // on the next port, and is drawn; the playback keeps receiving.
    Click(2, 1, In(0));
    EXPECT_TRUE(Answer(61, 1, st::VideoAnswer("Playback"), In(0)).started);
    const MediaCommand offer = Click(0, 0, In(0));
    EXPECT_NE(offer.text.find("m=video " + std::to_string(port_ + 4) + " RTP/AVP"),
              std::string::npos);
    const AnswerOutcome live = Answer(62, 2, st::VideoAnswer(), In(0));
    EXPECT_EQ(live.stream, MediaStream::Live);
    EXPECT_TRUE(live.started);
    EXPECT_EQ(s_->Drawn(), MediaStream::Live);
    EXPECT_EQ(s_->Receiver().port, port_ + 4);
    EXPECT_EQ(s_->Receiver(MediaStream::Playback).port, port_);
    // Ending the live view leaves the playback: drawn again, call untouched.
    Click(1, 0, In(0));
    EXPECT_EQ(signal_.Ended().back(), std::make_pair(62, 2));
    EXPECT_EQ(s_->Drawn(), MediaStream::Playback);
    EXPECT_TRUE(s_->Receiver(MediaStream::Playback).exists);
    EXPECT_FALSE(s_->Receiver(MediaStream::Live).exists);
    EXPECT_EQ(s_->ControlDialog().cid, 61);
    // An INVITE that is none of ours (typed by hand) is kept and ended at
    // exit; with the playback's receiver running it starts none.
    EXPECT_EQ(Answer(63, 3, st::VideoAnswer(), In(0)).stream, MediaStream::None);

    // Exit ends every call still open: the playback's and the hand-typed one.
    s_->Stop();
    EXPECT_EQ(signal_.Ended(), (Ended{{41, 4}, {62, 2}, {61, 1}, {63, 3}}));
    EXPECT_FALSE(s_->Receiver().exists);
}

// Answers are filed by their INVITE's call id: two offers waiting at once,
// answered in the opposite order, each under its own call; an answer that
// overtakes its OfferSent is held until then.
TEST_F(Session, AnswersAreFiledByCallIdInAnyOrder) {
    // In the order of the offers: the first answer is not the newest offer's.
    {
        const MediaCommand p = s_->BuildMediaCommand(2, 1, In(0));
        const MediaCommand l = s_->BuildMediaCommand(0, 0, In(0));
        s_->OfferSent(p.offer, 5);
        s_->OfferSent(l.offer, 6);
        EXPECT_EQ(s_->OnCallAnswered(5, 1, st::VideoAnswer("Playback"), In(0)).stream,
                  MediaStream::Playback);
        EXPECT_EQ(s_->OnCallAnswered(6, 2, st::VideoAnswer(), In(0)).stream, MediaStream::Live);
        EXPECT_EQ(s_->ControlDialog().cid, 5);
        s_->Stop();
        EXPECT_EQ(signal_.Ended(), (Ended{{6, 2}, {5, 1}}));
        Make();
    }
    const MediaCommand live = s_->BuildMediaCommand(0, 0, In(0));
    const MediaCommand download = s_->BuildMediaCommand(2, 0, In(0));
    ASSERT_NE(live.offer, download.offer);
    s_->OfferSent(live.offer, 10);
    s_->OfferSent(download.offer, 20);
    const AnswerOutcome d = s_->OnCallAnswered(20, 2, st::VideoAnswer("Download"), In(0));
    const AnswerOutcome l = s_->OnCallAnswered(10, 1, st::VideoAnswer(), In(0));
    EXPECT_EQ(d.stream, MediaStream::Download);
    EXPECT_EQ(l.stream, MediaStream::Live);
    EXPECT_TRUE(d.started && l.started);
    EXPECT_EQ(s_->ControlDialog().cid, 20);
    // Each on its own port; the live view is drawn, the download goes on.
    EXPECT_EQ(s_->Receiver(MediaStream::Live).port, port_);
    EXPECT_EQ(s_->Receiver(MediaStream::Download).port, port_ + 4);
    EXPECT_EQ(s_->Drawn(), MediaStream::Live);
    Click(3, 0, In(0)); // 下载取消
    EXPECT_EQ(signal_.Ended(), (Ended{{6, 2}, {5, 1}, {20, 2}}));
    EXPECT_TRUE(s_->Receiver(MediaStream::Live).exists);
    EXPECT_TRUE(s_->LiveOpen());

    // The answer first, then its OfferSent; a cancelled offer's answer is ended.
    const MediaCommand playback = s_->BuildMediaCommand(2, 1, In(0));
    EXPECT_TRUE(s_->OnCallAnswered(30, 3, st::VideoAnswer("Playback"), In(0)).held);
    EXPECT_FALSE(s_->Receiver(MediaStream::Playback).exists);
    s_->OfferSent(playback.offer, 30);
    EXPECT_TRUE(s_->Receiver(MediaStream::Playback).exists);
    EXPECT_EQ(s_->ControlDialog().cid, 30);
    s_->BuildMediaCommand(3, 1, In(0));
    const MediaCommand again = s_->BuildMediaCommand(2, 1, In(0));
    s_->OfferSent(again.offer, 31);
    s_->BuildMediaCommand(3, 1, In(0)); // cancelled before its answer
    EXPECT_TRUE(s_->OnCallAnswered(31, 4, st::VideoAnswer("Playback"), In(0)).ended);
    EXPECT_EQ(signal_.Ended(), (Ended{{6, 2}, {5, 1}, {20, 2}, {30, 3}, {31, 4}}));
    // An offer that could not be sent waits for nothing.
    const MediaCommand lost = s_->BuildMediaCommand(0, 1, In(0));
    s_->OfferSent(lost.offer, 0);
    EXPECT_FALSE(s_->OnCallAnswered(40, 5, st::AudioAnswer(), In(0)).held);
    EXPECT_TRUE(s_->Receiver(MediaStream::Live).exists);
}

// Every stream with a receiver is listed with its call and its own counts:
// the drawn live view's frames, the download's none; an ended one is gone.
TEST_F(Session, OpenCallsListEachStreamWithItsCallAndFigures) {
    EXPECT_TRUE(s_->OpenCalls().empty());
    MediaInputs live = In(0);
    live.channelId = "34020000001310000001";
    MediaInputs down = In(0);
    down.channelId = "34020000001310000002";
    const MediaCommand l = s_->BuildMediaCommand(0, 0, live);
    const MediaCommand d = s_->BuildMediaCommand(2, 0, down);
    s_->OfferSent(l.offer, 10);
    s_->OfferSent(d.offer, 20);
    ASSERT_TRUE(s_->OnCallAnswered(10, 1, st::VideoAnswer(), live).started);
    ASSERT_TRUE(s_->OnCallAnswered(20, 2, st::VideoAnswer("Download"), down).started);
    ASSERT_EQ(s_->Drawn(), MediaStream::Live);
    Frame(1000);
    Frame(3000);
    const std::vector<CallFigures> calls = s_->OpenCalls();
    ASSERT_EQ(calls.size(), 2u);
    const struct {
        int slot, cid;
        const char* channel;
        bool drawn;
        std::uint32_t frames;
        std::uint64_t bytes;
    } want[] = {{0, 10, "34020000001310000001", true, 2, 4000},
                {2, 20, "34020000001310000002", false, 0, 0}};
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(calls[i].slot, want[i].slot) << i;
        EXPECT_EQ(calls[i].callId, want[i].cid) << i;
        EXPECT_EQ(calls[i].channel, want[i].channel) << i;
        EXPECT_EQ(calls[i].drawn, want[i].drawn) << i;
        EXPECT_EQ(calls[i].figures.frames, want[i].frames) << i;
        EXPECT_EQ(calls[i].figures.bytes, want[i].bytes) << i;
    }
    s_->BuildMediaCommand(3, 0, down); // 下载取消
    const std::vector<CallFigures> left = s_->OpenCalls();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].callId, 10);
}

// The recording clicked is what playback and download ask for; MediaStatus
// 121 of its channel completes the progress and ends the call with BYE.
TEST_F(Session, RecordingClickedIsOfferedAndMediaStatus121EndsItsDownload) {
    s_->SelectRecording("2024-01-01T00:00:00", "2024-01-01T00:00:40");
    MediaInputs in = In(0);
    in.channelId = "34020000001310000009";
    const std::int64_t start = CDlgSearch::TextToSeconds("2024-01-01T00:00:00");
    const MediaCommand d = Click(2, 0, in);
    EXPECT_NE(d.text.find("s=Download\r\nu=34020000001310000009:0\r\n"), std::string::npos);
    EXPECT_NE(d.text.find("t=" + std::to_string(start) + " " + std::to_string(start + 40) + " \r\n"),
              std::string::npos)
        << d.text;
    ASSERT_TRUE(Answer(7, 2, st::VideoAnswer("Download"), in).started);
    clock_.Advance(3s);
    Frame(100); // without an RTP timestamp: the stream's time stays at 0
    EXPECT_EQ(view_.Last().progressText, "00:00:00/00:00:40");
    // Another channel's notification, or another type, ends nothing.
    EXPECT_EQ(s_->OnMediaStatus("34020000001310000009", 120), -1);
    EXPECT_TRUE(s_->DownloadOpen());
    EXPECT_EQ(s_->OnMediaStatus("34020000001310000009", 121), 0);
    EXPECT_FALSE(s_->DownloadOpen());
    EXPECT_FALSE(s_->Receiver(MediaStream::Download).exists);
    EXPECT_EQ(signal_.Ended(), (Ended{{7, 2}}));
    EXPECT_EQ(view_.Last().progressText, "00:00:40/00:00:40");
    EXPECT_EQ(view_.Last().progressPos, 40);
    EXPECT_EQ(s_->OnMediaStatus("34020000001310000009", 121), -1);
    // 下载取消 mid-way: the label and the bar are cleared (never "/12:00:00").
    Click(2, 0, in);
    Answer(8, 3, st::VideoAnswer("Download"), in);
    clock_.Advance(2s);
    Frame(100);
    clock_.Advance(100ms);
    Frame(100); // held back within the interval
    Click(3, 0, in);
    EXPECT_EQ(view_.LastProgressText(), "");
    EXPECT_EQ(view_.Last().progressMax, 0);
    // Its bytes were no pictures: nothing is saved, and that is said.
    EXPECT_EQ(view_.Messages().back().rfind("download not saved (34020000001310000009-", 0), 0u)
        << view_.Messages().back();
}

TEST_F(Session, AnOfferLongerThanTheMessageBufferIsRefusedAndChangesNothing) {
    MediaInputs in = In(1);
    in.address = std::string(1000, '1');
    const MediaCommand c = Click(0, 0, in);
    Expect(c, false, -1);
    EXPECT_NE(c.refusal.find("2048"), std::string::npos);
    EXPECT_FALSE(s_->LiveOpen());
    EXPECT_FALSE(s_->Receiver().exists);
    EXPECT_LE(Click(0, 0, In(0)).text.size(), kMediaTextRoom);
}

TEST_F(Session, FiguresAndElapsedFollowTheClockAtMostFourUpdatesASecond) {
    Click(0, 0, In(0));
    ASSERT_TRUE(Answer(1, 1, st::VideoAnswer(), In(0)).started);
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
    Click(1, 0, In(0));
    ASSERT_EQ(view_.Count(), before + 3);
    EXPECT_EQ(view_.Last().statistics,
              "解码 0帧 丢 0包 坏 4帧 帧率 2 Fps 设备 0 Fps 接收数据 15 KB 码率 11 KBps \n");
    Frame(500);
    EXPECT_EQ(view_.Count(), before + 3);
    EXPECT_EQ(s_->Figures().frames, 4u);
}

// The progress of a download follows the stream's own timestamps, not the
// wall clock: frames without timestamps leave it at the start however long
// they take; the cancel row clears the label and the bar.
TEST_F(Session, DownloadProgressIsTheStreamsTimeAndItsCancelClearsIt) {
    s_->SelectRecording("2024-01-01T00:00:00", "2024-01-01T00:01:00");
    Click(2, 0, In(0));
    ASSERT_TRUE(Answer(1, 1, st::VideoAnswer("Download"), In(0)).started);
    clock_.Advance(10s);
    Frame(100);
    EXPECT_EQ(view_.Last().progressPos, 0);
    EXPECT_EQ(view_.Last().progressMax, 60); // the bar's range, whatever closed it before
    EXPECT_EQ(view_.Last().progressText, "00:00:00/00:01:00");
    clock_.Advance(60s);
    Frame(100);
    EXPECT_EQ(view_.Last().progressText, "00:00:00/00:01:00");
    Click(3, 0, In(0)); // 下载取消
    const MediaViewUpdate last = view_.Last();
    EXPECT_EQ(last.progressText, std::string());
    EXPECT_EQ(last.progressMax, 0);
    EXPECT_EQ(last.progressPos, 0);
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
    Click(0, 0, In(0));
    ASSERT_TRUE(Answer(1, 1, st::VideoAnswer(), In(0)).started);
    s_->SetDragRect({100, 50, 300, 150});
    std::vector<unsigned char> au(units[0].begin(), units[0].end());
    CMediaSession::FrameHandler(s_.get(), au.data(), static_cast<std::int32_t>(au.size()));
    s_->SetDragRect({});
    au.assign(units[1].begin(), units[1].end());
    CMediaSession::FrameHandler(s_.get(), au.data(), static_cast<std::int32_t>(au.size()));
    // The black picture that cleared the view, then the two decoded ones.
    ASSERT_EQ(surface_.Count(), 3u);
    const auto& first = surface_.pictures[1].bgr;
    auto at = [](int x, int y) { return (static_cast<std::size_t>(y) * 352 + x) * 3; };
    EXPECT_NE(std::memcmp(first.data() + at(100, 100), ref.data() + at(100, 100), 3), 0);
    EXPECT_EQ(std::memcmp(first.data() + at(200, 100), ref.data() + at(200, 100), 3), 0);
    EXPECT_EQ(std::memcmp(surface_.pictures[2].bgr.data(), ref.data() + n, n), 0);
}

} // namespace

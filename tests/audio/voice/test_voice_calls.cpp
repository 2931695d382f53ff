// The SDP of voice calls and the core's choice of answer for a device's
// INVITE: only after a notification to it, only with G.711, in the roles its
// a=setup asks for; the sender then reaches the address its SDP names.
#include "app/core/VoiceCalls.h"
#include "media/audio/ToneMeter.h"
#include "media/audio/VoiceSdp.h"
#include "media/audio/WavFile.h"

#include "audio/AlsaTestDevices.h"
#include "support/common/ChildProcess.h"
#include "support/common/Files.h"
#include "support/common/Net.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <thread>

using namespace tvaudio;

namespace {

std::string DeviceOffer(int port, const char* proto, const char* pts, const char* setup = nullptr) {
    std::string s = "v=0\r\no=34020000001310000101 0 0 IN IP4 127.0.0.1\r\ns=Play\r\nc=IN IP4 127.0.0.1\r\n"
                    "t=0 0\r\nm=audio " + std::to_string(port) + " " + proto + " " + pts +
                    "\r\na=recvonly\r\na=rtpmap:8 PCMA/8000\r\n";
    if (setup) s += std::string("a=setup:") + setup + "\r\na=connection:new\r\n";
    return s + "y=0100000123\r\nf=v/////a/1/8/1\r\n";
}

OfferedCall Call(int id, const std::string& from, const std::string& sdp) {
    OfferedCall c;
    c.callId = id;
    c.fromUser = from;
    c.toUser = "34020000002000000001";
    c.sourceHost = "127.0.0.1";
    c.sdp = sdp;
    return c;
}

} // namespace

TEST(VoiceSdp, ReadsWhatDevicesWrite) {
    struct Row {
        std::string sdp;
        int port;
        bool tcp;
        std::string setup;
        std::vector<int> pts;
        std::string ssrc;
    } rows[] = {
        {DeviceOffer(25000, "TCP/RTP/AVP", "8", "active"), 25000, true, "active", {8}, "0100000123"},
        {DeviceOffer(8000, "RTP/AVP", "8 0"), 8000, false, "", {8, 0}, "0100000123"},
        // Video first (a talk answer may carry both): the audio section is read.
        {"v=0\r\nc=IN IP4 10.0.0.9\r\nm=video 9000 RTP/AVP 96\r\na=sendonly\r\nm=audio 9002 RTP/AVP 0\r\na=recvonly\r\n",
         9002, false, "", {0}, ""},
    };
    for (const Row& r : rows) {
        const AudioSdp s = ParseAudioSdp(r.sdp);
        EXPECT_TRUE(s.audio);
        EXPECT_EQ(s.port, r.port);
        EXPECT_EQ(s.tcp, r.tcp);
        EXPECT_EQ(s.setup, r.setup);
        EXPECT_EQ(s.payloadTypes, r.pts);
        EXPECT_EQ(s.direction, "recvonly");
        EXPECT_EQ(s.ssrc, r.ssrc);
    }
    EXPECT_EQ(ParseAudioSdp(rows[2].sdp).ip, "10.0.0.9");
    EXPECT_FALSE(ParseAudioSdp("v=0\r\nm=video 9000 RTP/AVP 96\r\n").audio);
    EXPECT_EQ(AnswerPayloadTypes({0, 8, 18}), (std::vector<int>{8, 0}));
    EXPECT_EQ(AnswerPayloadTypes({96}), (std::vector<int>{96}));
    EXPECT_TRUE(AnswerPayloadTypes({18, 4}).empty());
    EXPECT_EQ(AnswerDirection("recvonly"), "sendonly");
    EXPECT_EQ(AnswerDirection("sendrecv"), "sendrecv");
}

TEST(VoiceCalls, NotificationNamesSourceAndTarget) {
    const std::string b = VoiceCalls::NotifyBody(17, "34020000002000000001", "34020000001370000001");
    for (const char* part : {"<Notify>", "<CmdType>Broadcast</CmdType>", "<SN>17</SN>",
                             "<SourceID>34020000002000000001</SourceID>",
                             "<TargetID>34020000001370000001</TargetID>"})
        EXPECT_NE(b.find(part), std::string::npos) << part;
}

TEST(VoiceCalls, OnlyAnAnnouncedOutputWithG711GetsOurAudio) {
    const std::string channel = "34020000001310000101", device = "34020000001320000001";
    struct Row {
        const char* what;
        bool announce;
        std::string from;
        std::string sdp;
        int status;
    } rows[] = {
        {"no notification", false, channel, DeviceOffer(30000, "RTP/AVP", "8"), 481},
        {"another output", true, "34020000001310000999", DeviceOffer(30000, "RTP/AVP", "8"), 481},
        {"no G.711", true, channel, DeviceOffer(30000, "RTP/AVP", "18 4"), 488},
        {"no audio", true, channel, "v=0\r\nc=IN IP4 127.0.0.1\r\nm=video 9000 RTP/AVP 96\r\n", 488},
        {"the output", true, channel, DeviceOffer(30000, "RTP/AVP", "0 8"), 200},
        {"the device itself", true, device, DeviceOffer(30000, "RTP/AVP", "0"), 200},
    };
    int id = 1;
    for (const Row& r : rows) {
        VoiceCalls v;
        if (r.announce) v.Announced(device, channel);
        const CallAnswer a = v.Offered(Call(id++, r.from, r.sdp), "127.0.0.1");
        EXPECT_EQ(a.status, r.status) << r.what;
        EXPECT_EQ(v.Active(), r.status == 200) << r.what;
        if (r.status == 200) {
            const AudioSdp s = ParseAudioSdp(a.sdp);
            EXPECT_EQ(s.direction, "sendonly") << r.what;
            EXPECT_EQ(s.payloadTypes.front(), r.sdp.find("RTP/AVP 0\r") != std::string::npos ? 0 : 8) << r.what;
            EXPECT_EQ(s.ssrc, "0100000123") << r.what;
            EXPECT_NE(a.sdp.find("f=v/////a/1/8/1"), std::string::npos);
            // One INVITE per notification.
            EXPECT_EQ(v.Offered(Call(id++, r.from, r.sdp), "127.0.0.1").status, 481) << r.what;
            EXPECT_EQ(v.EndAll().size(), 1u);
        }
    }
}

// TCP roles as RFC 4145 reads a=setup: the device's active makes us listen
// (passive, our port in m=), its passive makes us connect (active, port 9).
TEST(VoiceCalls, TcpRolesAnswerTheDevicesSetup) {
    const std::string channel = "34020000001310000101";
    for (const char* setup : {"active", "passive"}) {
        const int listener = LoopbackBound(SOCK_STREAM);
        ASSERT_EQ(listen(listener, 1), 0);
        VoiceCalls v;
        v.Announced("34020000001320000001", channel);
        const CallAnswer a =
            v.Offered(Call(1, channel, DeviceOffer(LocalPortOf(listener), "TCP/RTP/AVP", "8", setup)), "127.0.0.1");
        ASSERT_EQ(a.status, 200);
        const AudioSdp s = ParseAudioSdp(a.sdp);
        EXPECT_TRUE(s.tcp);
        if (std::string(setup) == "active") {
            EXPECT_EQ(s.setup, "passive");
            EXPECT_GT(s.port, 9);
        } else {
            EXPECT_EQ(s.setup, "active");
            EXPECT_EQ(s.port, 9);
            pollfd p{listener, POLLIN, 0};
            EXPECT_GT(poll(&p, 1, 5000), 0) << "we connect to the device's port";
        }
        v.EndAll();
        close(listener);
    }
}

namespace {

std::string TalkAnswer(int port, const char* pts) {
    return "v=0\r\no=34020000001310000101 0 0 IN IP4 127.0.0.1\r\ns=Talk\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
           "m=audio " + std::to_string(port) + " RTP/AVP " + pts + "\r\na=sendrecv\r\ny=0100000456\r\n";
}

} // namespace

// 国标版本 2022 lists AAC in 102 after G.711, with the rtpmap and fmtp lines
// written after the published 2022 example (RFC 3640's AAC-hbr parameters);
// an answer that keeps only AAC is an AAC call, one that keeps G.711 beside it
// is a G.711 call.
TEST(VoiceCalls, TalkOfferListsAacUnder2022) {
    const std::string aacLines =
        "a=rtpmap:102 AAC/8000/1\r\n"
        "a=fmtp:102 streamtype=5;profile-level-id=16;mode=AAC-hbr;config=1588;sizeLength=13;"
        "indexLength=3;indexDeltaLength=3;constantDuration=1024\r\n";
    const int device = LoopbackBound(SOCK_DGRAM);
    const int port = LocalPortOf(device);
    struct Case {
        bool aac;
        std::vector<int> offered;
        const char* answered;
        const char* said; // the start of what the answer tells
    } cases[] = {
        {false, {8, 0}, "8", "sending PCMA"},
        {true, {8, 0, 102}, "102", "sending AAC (8000 Hz, 1 channel) to 127.0.0.1:"},
        {true, {8, 0, 102}, "102 0", "sending PCMU"},
    };
    int call = 30;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answered);
        VoiceCalls v;
        std::string error, what;
        VoiceCalls::HeldAnswer other;
        const std::string offer =
            v.OfferTalk("34020000001320000001", "34020000001310000101", "127.0.0.1", error, c.aac);
        EXPECT_EQ(ParseAudioSdp(offer).payloadTypes, c.offered);
        EXPECT_EQ(offer.find(aacLines) != std::string::npos, c.aac) << offer;
        EXPECT_EQ(offer.find("102") != std::string::npos, c.aac) << offer;
        EXPECT_FALSE(v.TalkSent(++call, what, other));
        ASSERT_TRUE(v.TalkAnswered(call, 1, TalkAnswer(port, c.answered), what));
        EXPECT_EQ(what.rfind(c.said, 0), 0u) << what;
        v.EndAll();
    }
    close(device);
}

// Our talk offer, and its answer however it comes: after TalkSent, before it
// (held, then filed), or for another call while it is being sent (handed
// back); a refusal that overtook the offer leaves no call behind.
TEST(VoiceCalls, TalkOfferAndItsAnswerInEveryOrder) {
    VoiceCalls v;
    std::string error, what;
    VoiceCalls::HeldAnswer other;
    const std::string offer = v.OfferTalk("34020000001320000001", "34020000001310000101", "127.0.0.1", error);
    const AudioSdp o = ParseAudioSdp(offer);
    EXPECT_EQ(o.session, "Talk");
    EXPECT_EQ(o.direction, "sendrecv");
    EXPECT_EQ(o.payloadTypes, (std::vector<int>{8, 0}));
    EXPECT_GT(o.port, 0);
    EXPECT_EQ(o.ssrc.size(), 10u);

    // Answered after it was sent: our audio goes to the answer's port.
    const int device = LoopbackBound(SOCK_DGRAM);
    const int port = LocalPortOf(device);
    EXPECT_FALSE(v.TalkSent(7, what, other));
    ASSERT_TRUE(v.TalkAnswered(7, 1, TalkAnswer(port, "8"), what));
    EXPECT_NE(what.find("sending PCMA to 127.0.0.1:" + std::to_string(port)), std::string::npos) << what;
    const int16_t tone[320] = {1000};
    v.FeedMicrophone(tone, 160, 8000, 1);
    v.FeedMicrophone(tone, 160, 8000, 1);
    pollfd p{device, POLLIN, 0};
    ASSERT_GT(poll(&p, 1, 3000), 0) << "our audio reaches the answer's port";
    uint8_t packet[1500];
    ASSERT_GE(recv(device, packet, sizeof packet, 0), 12 + 160);
    EXPECT_EQ(packet[1] & 0x7f, 8);
    close(device);
    EXPECT_FALSE(v.TalkAnswered(99, 1, TalkAnswer(port, "8"), what)) << "not a talk call";

    // Answered before TalkSent: held, then filed to the offer's call.
    v.OfferTalk("34020000001320000001", "34020000001310000101", "127.0.0.1", error);
    ASSERT_TRUE(v.TalkAnswered(8, 1, TalkAnswer(port, "0"), what));
    EXPECT_EQ(what, "");
    EXPECT_FALSE(v.TalkSent(8, what, other));
    EXPECT_NE(what.find("sending PCMU"), std::string::npos) << what;

    // Another call's answer while the offer was being sent goes back.
    v.OfferTalk("34020000001320000001", "34020000001310000101", "127.0.0.1", error);
    ASSERT_TRUE(v.TalkAnswered(20, 3, "v=0\r\nm=video 9000 RTP/AVP 96\r\n", what));
    what.clear();
    ASSERT_TRUE(v.TalkSent(9, what, other));
    EXPECT_EQ(other.callId, 20);
    EXPECT_EQ(other.dialogId, 3);
    EXPECT_EQ(what, "");
    // ... and an answer without G.711 starts nothing.
    ASSERT_TRUE(v.TalkAnswered(9, 1, TalkAnswer(port, "96"), what));
    EXPECT_EQ(what, "no G.711 or AAC over UDP in the answer: nothing sent");

    // A refusal before TalkSent: the call is not kept.
    v.OfferTalk("34020000001320000001", "34020000001310000101", "127.0.0.1", error);
    EXPECT_FALSE(v.Closed(10));
    EXPECT_FALSE(v.TalkSent(10, what, other));
    EXPECT_FALSE(v.Closed(10)) << "filed after its refusal";

    std::vector<int> ended = v.EndAll();
    std::sort(ended.begin(), ended.end());
    EXPECT_EQ(ended, (std::vector<int>{7, 8, 9}));
}

// A talk answer that keeps only AAC, with ffmpeg's own RTP muxer as the
// device: the 600 Hz that ffmpeg encodes and sends as mpeg4-generic is played
// into ALSA's file device, where it measures 600 Hz; our WAV source goes to
// the answer's port as AAC in 102, and what the answer's fmtp says of its
// headers is what we write. An answer whose 102 is not AAC starts nothing.
TEST(VoiceCalls, AacTalkWithFfmpegAsTheDevice) {
    AlsaTestDevices& alsa = AlsaTestDevices::Get(); // before any ALSA call
    unlink(alsa.PlaybackFile().c_str());
    TempDir dir;
    tvaudio::PcmBlock tone;
    for (int i = 0; i < 8000; ++i) tone.samples.push_back(static_cast<int16_t>(9000 * std::sin(2 * M_PI * 1000.0 * i / 8000)));
    ASSERT_TRUE(WriteWav(dir / "tone.wav", tone));
    const int device = LoopbackBound(SOCK_DGRAM);
    const std::string answer =
        "v=0\r\no=34020000001310000101 0 0 IN IP4 127.0.0.1\r\ns=Talk\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
        "m=audio " + std::to_string(LocalPortOf(device)) + " RTP/AVP 102\r\na=sendrecv\r\n"
        "a=rtpmap:102 MPEG4-GENERIC/8000/1\r\n"
        "a=fmtp:102 profile-level-id=1;mode=AAC-hbr;sizelength=13;indexlength=3;indexdeltalength=3; config=1588\r\n"
        "y=0100000456\r\n";
    {
        tvaudio::DeviceAudio player;
        VoiceCalls v;
        v.SetPlayer(&player);
        v.SetWavSource(dir / "tone.wav");
        std::string error, what;
        VoiceCalls::HeldAnswer other;
        const AudioSdp offer = ParseAudioSdp(
            v.OfferTalk("34020000001320000001", "34020000001310000101", "127.0.0.1", error, true));
        ASSERT_GT(offer.port, 0) << error;
        EXPECT_FALSE(v.TalkSent(51, what, other));
        ASSERT_TRUE(v.TalkAnswered(51, 1, answer, what));
        EXPECT_EQ(what, "sending AAC (8000 Hz, 1 channel) to 127.0.0.1:" + std::to_string(LocalPortOf(device)) +
                            ", playing what comes to port " + std::to_string(offer.port));
        const int status = testsupport::RunIn(
            dir.Path(),
            {"/usr/bin/ffmpeg", "-nostdin", "-loglevel", "error", "-re", "-f", "lavfi", "-i",
             "sine=frequency=600:sample_rate=8000", "-t", "1.5", "-ac", "1", "-c:a", "aac", "-payload_type", "102",
             "-f", "rtp", "rtp://127.0.0.1:" + std::to_string(offer.port)},
            dir / "ffmpeg.log", 20000);
        ASSERT_EQ(status, 0) << ReadFile(dir / "ffmpeg.log");
        EXPECT_GE(v.PacketsReceived(), 3u); // ffmpeg puts several units in a packet
        // Our side, meanwhile: AAC in 102 behind one 13/3-bit AU header.
        pollfd p{device, POLLIN, 0};
        ASSERT_GT(poll(&p, 1, 3000), 0);
        uint8_t packet[2048];
        const ssize_t n = recv(device, packet, sizeof packet, 0);
        ASSERT_GT(n, 16);
        EXPECT_EQ(packet[1] & 0x7f, 102);
        EXPECT_EQ(packet[12] << 8 | packet[13], 16);
        EXPECT_EQ(packet[14] << 5 | packet[15] >> 3, n - 16);
        EXPECT_GE(v.PacketsSent(), 8u);
        v.EndAll();
        player.Stop(); // writes out what the player holds
        EXPECT_GE(player.FramesPlayed(), 8000u) << player.Error();
    }
    close(device);
    const std::string bytes = ReadFile(alsa.PlaybackFile());
    tvaudio::PcmBlock played;
    played.samples.resize(bytes.size() / 2);
    std::memcpy(played.samples.data(), bytes.data(), played.samples.size() * 2);
    tvaudio::ToneMeter heard;
    heard.Push(played);
    EXPECT_NEAR(heard.Frequency(), 600, 10);
    EXPECT_GT(heard.Rms(), 1000);

    // 102 named as something else is no AAC.
    VoiceCalls v;
    std::string error, what;
    VoiceCalls::HeldAnswer other;
    v.OfferTalk("34020000001320000001", "34020000001310000101", "127.0.0.1", error, true);
    EXPECT_FALSE(v.TalkSent(52, what, other));
    ASSERT_TRUE(v.TalkAnswered(52, 1, TalkAnswer(9, "102") + "a=rtpmap:102 PCMA/8000\r\n", what));
    EXPECT_EQ(what.rfind("cannot take the answer's AAC: payload type 102 is PCMA/8000, not AAC", 0), 0u) << what;
    v.EndAll();
}

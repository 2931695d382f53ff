// The checks of live view, playback, pan-tilt-zoom and BYE.
#include "CheckKit.h"

#include <functional>

using namespace checkkit;

namespace {

TEST(LiveView, EachTransportJudgedOnItsAnswerAndStream) {
    struct Row {
        Case c;
        int transport;
        std::function<void(MediaObservation&)> change = {};
        std::string answer = {};
        int status = 200;
    };
    const Row rows[] = {
        {{"udp", Verdict::Pass,
          "first picture after 800 ms, 25.0 fps, 4000 kbit/s over 10.0 s, 0 sequence gaps"},
         kMediaUdp},
        {{"tcp passive", Verdict::Pass, "first picture after 800 ms"}, kMediaTcpPassive},
        {{"tcp active", Verdict::Pass, "first picture after 800 ms"}, kMediaTcpActive},
        {{"setup reversed", Verdict::Fail,
          "a=setup:passive, but with TCP passive the device must be active"},
         kMediaTcpPassive,
         {},
         Answer(kMediaTcpActive)},
        {{"no setup", Verdict::Fail, "no a=setup (the device must be passive)"},
         kMediaTcpActive,
         {},
         Replace(Answer(kMediaTcpActive), "a=setup:passive\r\n", "")},
        {{"udp token over tcp", Verdict::Fail, "m=video transport RTP/AVP, offered TCP/RTP/AVP"},
         kMediaTcpPassive,
         {},
         Replace(Answer(kMediaTcpPassive), "TCP/RTP/AVP", "RTP/AVP")},
        {{"no y", Verdict::Fail, "no y= line (SSRC)"},
         kMediaUdp,
         {},
         Replace(Answer(kMediaUdp), "y=0100000001\r\n", "")},
        {{"ssrc 0", Verdict::Fail, "y=0000000000 gives SSRC 0"},
         kMediaUdp,
         {},
         Answer(kMediaUdp, "0000000000")},
        {{"history digit", Verdict::Fail, "y=1100000001 starts with 1, live view take 0"},
         kMediaUdp,
         {},
         Answer(kMediaUdp, "1100000001")},
        {{"rtp ssrc 0", Verdict::Fail, "RTP SSRC 0 is not the answer's y= 100000001"},
         kMediaUdp,
         [](MediaObservation& m) { m.rtpSsrc = 0; }},
        {{"recvonly", Verdict::Fail, "a=recvonly"},
         kMediaUdp,
         {},
         Replace(Answer(kMediaUdp), "sendonly", "recvonly")},
        {{"not ours", Verdict::Fail, "payload type 33 was not offered"},
         kMediaUdp,
         {},
         Replace(Answer(kMediaUdp), "RTP/AVP 96", "RTP/AVP 33")},
        {{"late picture", Verdict::Fail, "first picture after 6500 ms, limit 5000 ms"},
         kMediaUdp,
         [](MediaObservation& m) { m.firstPictureMs = 6500; }},
        {{"no picture", Verdict::Fail, "no picture decoded"},
         kMediaTcpActive,
         [](MediaObservation& m) {
             m.firstPictureMs = -1;
             m.frames = 0;
         }},
        {{"gaps over tcp", Verdict::Fail, "3 RTP sequence gaps over TCP"},
         kMediaTcpPassive,
         [](MediaObservation& m) {
             m.sequenceGaps = 3;
             m.lostPackets = 3;
         }},
        {{"loss over udp", Verdict::Fail, "2.0 % of the RTP packets skipped"},
         kMediaUdp,
         [](MediaObservation& m) {
             m.sequenceGaps = 10;
             m.lostPackets = 80;
             m.packets = 3920;
         }},
        {{"little loss over udp", Verdict::Pass, "2 sequence gaps (2 packets skipped)"},
         kMediaUdp,
         [](MediaObservation& m) {
             m.sequenceGaps = 2;
             m.lostPackets = 2;
         }},
        {{"rtp not counted", Verdict::Pass, "0 kbit/s over 10.0 s, RTP sequence not counted"},
         kMediaTcpPassive,
         [](MediaObservation& m) {
             m.rtpCounted = false;
             m.sequenceGaps = 3; // not measured: left as the receiver gave them
             m.bytes = 0;
         }},
        {{"refused tcp", Verdict::NotSupported, "Play over TCP active: the device answered 488"},
         kMediaTcpActive,
         {},
         {},
         488},
        {{"busy", Verdict::Fail, "the INVITE was answered 486"}, kMediaUdp, {}, {}, 486},
        {{"silent", Verdict::Fail, "the INVITE got no final answer"}, kMediaUdp, {}, {}, 0},
    };
    const char* ids[] = {"live.udp", "live.tcp_passive", "live.tcp_active"};
    for (const Row& row : rows) {
        Wire w;
        MediaObservation m = Invite(
            w, row.transport, row.answer.empty() ? Answer(row.transport) : row.answer, row.status);
        if (row.change) row.change(m);
        w.obs.media.push_back(m);
        const CheckResult r = Judge(ids[row.transport], w.obs);
        ExpectVerdict(r, row.c);
        ASSERT_FALSE(r.evidence.empty()) << row.c.name;
        EXPECT_EQ(r.evidence.front().message, 0) << row.c.name << ": the INVITE comes first";
        // The other two transports were not attempted.
        for (int t = 0; t < 3; ++t)
            if (t != row.transport) {
                EXPECT_EQ(Judge(ids[t], w.obs).verdict, Verdict::NotRun) << row.c.name;
            }
    }
}

TEST(PtzAndBye, AcceptedAnsweredOrDeclined) {
    const std::string up = " <PTZCmd>A50F0108C000007D</PTZCmd>\r\n";
    const auto ptz = [&](int status, const std::string& result) {
        Wire w;
        const int q = w.ToDevice("Control", "DeviceControl", 20, up, -1);
        if (status) w.After(30).Reply(q, status);
        if (!result.empty())
            w.After(50).FromDevice(Replace(WithSn(SimpleAnswer("DeviceControl", kDevice, ""), "20"),
                                           "<Result>OK", "<Result>" + result));
        return Judge("ptz.accepted", w.obs);
    };
    ExpectVerdict(ptz(200, ""), {"200 only", Verdict::Pass,
                                 "1 command accepted with 2xx, 0 of them also answered Result OK"});
    ExpectVerdict(ptz(200, "OK"), {"answered", Verdict::Pass, "1 of them also answered Result OK"});
    ExpectVerdict(ptz(200, "ERROR"),
                  {"fixed camera", Verdict::NotSupported, "PTZCmd A50F0108C000007D at "});
    ExpectVerdict(ptz(501, ""), {"501", Verdict::NotSupported, "answered 501"});
    ExpectVerdict(ptz(400, ""), {"400", Verdict::Fail, "answered 400"});
    ExpectVerdict(ptz(0, ""), {"silent", Verdict::Fail, "got no answer"});
    Wire none;
    none.ToDevice("Control", "DeviceControl", 21, " <GuardCmd>SetGuard</GuardCmd>\r\n");
    ExpectVerdict(Judge("ptz.accepted", none.obs),
                  {"guard only", Verdict::NotRun, "no pan-tilt-zoom command"});

    const auto bye = [](int status) {
        Wire w;
        const int b = w.Add(Direction::Sent, w.TarvexHead("BYE", "call-0Play", 2, "", 0));
        if (status) w.After(40).Reply(b, status);
        return Judge("bye.answered", w.obs);
    };
    ExpectVerdict(bye(200), {"answered", Verdict::Pass, "1 BYE answered 2xx"});
    ExpectVerdict(bye(481), {"unknown call", Verdict::Fail, "answered 481 Error"});
    ExpectVerdict(bye(0), {"silent", Verdict::Fail, "got no answer"});
    // Our BYE crossed the device's own BYE of the call: its silence or 481 is right.
    for (int status : {0, 481}) {
        Wire w;
        w.Add(Direction::Received, "BYE sip:" + kPlatform +
                                       "@127.0.0.1:5080 SIP/2.0\r\nFrom: <sip:" + kDevice +
                                       "@127.0.0.1:5060>;tag=9\r\nCall-ID: call-0Play\r\nCSeq: 3 BYE\r\n"
                                       "Content-Length: 0\r\n");
        const int b = w.Add(Direction::Sent, w.TarvexHead("BYE", "call-0Play", 2, "", 0));
        if (status) w.After(40).Reply(b, status);
        ExpectVerdict(Judge("bye.answered", w.obs), {"crossed", Verdict::Pass, "1 BYE crossed the device's own BYE"});
    }
    ExpectVerdict(Judge("bye.answered", Wire().obs), {"none", Verdict::NotRun, "no BYE"});
}

TEST(Playback, PauseAndScaleAccepted) {
    struct Row {
        Case c;
        std::vector<std::pair<std::string, int>> infos; // MANSRTSP text and the device's status
        const char* y = "1100000001";
    };
    const std::string pause = "PAUSE RTSP/1.0\r\nCSeq: 2\r\nPauseTime: now\r\n";
    const std::string fast = "PLAY RTSP/1.0\r\nCSeq: 2\r\nScale: 2.0\r\nRange: npt=0-\r\n";
    const std::string resume = "PLAY RTSP/1.0\r\nCSeq: 2\r\nScale: 1.0\r\nRange: npt=0-\r\n";
    const Row rows[] = {
        {{"accepted", Verdict::Pass,
          "playback answered; PAUSE and PLAY Scale 2.0 accepted with 2xx"},
         {{pause, 200}, {resume, 200}, {fast, 200}}},
        {{"scale refused", Verdict::NotSupported, "PLAY with Scale INFO answered 501"},
         {{pause, 200}, {fast, 501}}},
        {{"pause lost", Verdict::Fail, "PAUSE INFO got no answer"}, {{pause, 0}, {fast, 200}}},
        {{"no scale sent", Verdict::NotRun, "no PLAY with a Scale was sent"},
         {{pause, 200}, {resume, 200}}},
        {{"live digit", Verdict::Fail, "y=0100000001 starts with 0, recordings take 1"},
         {},
         "0100000001"},
    };
    for (const Row& row : rows) {
        Wire w;
        MediaObservation m =
            Invite(w, kMediaUdp, Replace(Answer(kMediaUdp, row.y), "s=Play", "s=Playback"), 200,
                   "Playback");
        m.rtpSsrc = 1100000001;
        w.obs.media.push_back(m);
        int cseq = 3;
        for (const auto& [text, status] : row.infos) {
            const int i = w.After(500).Add(
                Direction::Sent,
                w.TarvexHead("INFO", "call-0Playback", cseq++, "Application/MANSRTSP", text.size()),
                text);
            if (status) w.After(30).Reply(i, status);
        }
        ExpectVerdict(Judge("playback.control", w.obs), row.c);
    }
    ExpectVerdict(Judge("playback.control", Wire().obs),
                  {"none", Verdict::NotRun, "no playback was attempted"});
}

} // namespace

// The 2xx of an INVITE must open a dialog the platform can use: To tag, the
// device's own Contact, SDP o= and s= as offered, f= of the v/... form.
TEST(InviteAnswer, WantsAToTagTheDevicesContactAndTheSessionLines) {
    struct Row {
        Case c;
        std::string from, to;       // replaced in the 200's head
        std::string sdpFrom, sdpTo; // replaced in its SDP
    };
    const std::string contact = "Contact: <sip:" + kDevice + "@127.0.0.1:5060>";
    const Row rows[] = {
        {{"well formed", Verdict::Pass, "1 INVITE answer with a To tag"}, "", "", "", ""},
        {{"no To tag", Verdict::Fail, ": To without a tag"}, ";tag=99", "", "", ""},
        {{"Contact of the platform", Verdict::Fail, "names Tarvex, not the device"},
         contact,
         "Contact: <sip:" + kPlatform + "@127.0.0.1:5080>",
         "",
         ""},
        {{"no Contact", Verdict::Fail, ": no Contact"}, contact + "\r\n", "", "", ""},
        {{"short o=", Verdict::Fail, "is not six fields"}, "", "", " 0 0 IN IP4", " 0 IN IP4"},
        {{"s= not the offer's", Verdict::Fail, "SDP s=Playback, the offer's is s=Play"},
         "",
         "",
         "s=Play",
         "s=Playback"},
        {{"f= not v/", Verdict::Fail, "SDP f=2/4 does not start with v/"},
         "",
         "",
         "f=\r\n",
         "f=2/4\r\n"},
        {{"f= of the v/ form", Verdict::Pass, "with a To tag"},
         "",
         "",
         "f=\r\n",
         "f=v/2/5/25/1/4096a///\r\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.c.name);
        Wire w;
        w.Register();
        w.obs.settings.platformId = kPlatform;
        const std::string answer = row.sdpFrom.empty()
                                       ? Answer(kMediaUdp)
                                       : Replace(Answer(kMediaUdp), row.sdpFrom, row.sdpTo);
        Invite(w, kMediaUdp, answer);
        ObservedMessage& ok = w.obs.messages.back();
        if (!row.from.empty())
            ok = ObserveMessage(ok.direction, ok.timeMs, ok.timeText,
                                Replace(ok.head, row.from, row.to), ok.body);
        ExpectVerdict(Judge("invite.answer", w.obs), row.c);
    }
    ExpectVerdict(Judge("invite.answer", Wire().obs),
                  (Case{"none", Verdict::NotRun, "no INVITE was answered 2xx"}));
}

// A download the device ends: MediaStatus 121 with (or before) its BYE, and
// the BYE names Tarvex's dialog.
TEST(DownloadAndDeviceBye, WantMediaStatus121AndTheDialogsTags) {
    const std::string notify =
        "<?xml version=\"1.0\"?>\r\n<Notify>\r\n<CmdType>MediaStatus</CmdType>"
        "\r\n<SN>5</SN>\r\n<DeviceID>" +
        kDevice + "</DeviceID>\r\n<NotifyType>121</NotifyType>\r\n</Notify>\r\n";
    struct Row {
        const char* name;
        bool status;      // MediaStatus 121 before the BYE
        std::string from; // the BYE's From tag
        std::string to;   // its To tag
        bool tarvexEnds;  // Tarvex sends the BYE instead
        Case download, bye;
    };
    const Row rows[] = {
        {"well behaved",
         true,
         "99",
         "7",
         false,
         {"", Verdict::Pass, "download ended by the device: MediaStatus 121 at"},
         {"", Verdict::Pass, "1 BYE of the device naming Tarvex's dialog"}},
        {"no MediaStatus",
         false,
         "99",
         "7",
         false,
         {"", Verdict::Fail, "without MediaStatus 121"},
         {"", Verdict::Pass, "naming Tarvex's dialog"}},
        {"foreign From tag",
         true,
         "12",
         "7",
         false,
         {"", Verdict::Pass, "MediaStatus 121"},
         {"", Verdict::Fail,
          "From tag \"12\" is not the tag of the device's 200 (\"99\"); Tarvex "
          "answers it 481"}},
        {"foreign To tag",
         true,
         "99",
         "8",
         false,
         {"", Verdict::Pass, "MediaStatus 121"},
         {"", Verdict::Fail, "To tag \"8\" is not Tarvex's (\"7\")"}},
        {"Tarvex ended it",
         false,
         "",
         "",
         true,
         {"", Verdict::NotRun, "not finished by the device before Tarvex ended it"},
         {"", Verdict::NotRun, "the device sent no BYE"}},
        {"121, then Tarvex's BYE",
         true,
         "",
         "",
         true,
         {"", Verdict::Pass, "download finished by the device: MediaStatus 121"},
         {"", Verdict::NotRun, "the device sent no BYE"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Wire w;
        w.Register();
        const MediaObservation m =
            Invite(w, kMediaUdp, Answer(kMediaUdp, "1100000001"), 200, "Download");
        w.After(2000);
        if (row.status) w.FromDevice(notify);
        if (row.tarvexEnds) {
            w.Add(Direction::Sent, w.TarvexHead("BYE", m.callId, 2, "", 0));
        } else {
            w.Add(Direction::Received,
                  "BYE sip:" + kPlatform +
                      "@127.0.0.1:5080 SIP/2.0\r\nVia: SIP/2.0/UDP "
                      "127.0.0.1:5060;branch=z9hG4bK-bye\r\nFrom: <sip:" +
                      kDevice + "@127.0.0.1:5060>;tag=" + row.from + "\r\nTo: <sip:" + kPlatform +
                      "@127.0.0.1:5080>;tag=" + row.to + "\r\nCall-ID: " + m.callId +
                      "\r\nCSeq: 3 BYE\r\nContent-Length: 0\r\n");
        }
        ExpectVerdict(Judge("download.status", w.obs), row.download);
        ExpectVerdict(Judge("bye.device", w.obs), row.bye);
    }
    ExpectVerdict(Judge("download.status", Wire().obs),
                  (Case{"none", Verdict::NotRun, "no download was attempted"}));
}

// Tarvex's own decoder behind the stream (pictures decoded, but fewer than
// half of the frames received) is not the device's fault: not judged, while
// the device's own sequence is still judged.
TEST(LiveView, TarvexBehindIsNotBlamedOnTheDevice) {
    struct Row {
        Case c;
        std::optional<std::uint64_t> received;
        std::uint64_t decoded;
        std::uint64_t gaps;
        int transport;
    };
    const Row rows[] = {
        {{"keeping up", Verdict::Pass, "25.0 fps, "}, 250, 250, 0, kMediaUdp},
        {{"keeping up, received shown", Verdict::Pass, ", 25.0 fps received"},
         250,
         240,
         0,
         kMediaUdp},
        {{"behind", Verdict::NotRun,
          "not judged: Tarvex was behind, it decoded 100 of the 250 frames received"},
         250,
         100,
         0,
         kMediaUdp},
        {{"just under half", Verdict::Pass, "first picture"}, 250, 126, 0, kMediaUdp},
        {{"behind, and the device skipped", Verdict::Fail, "2 RTP sequence gaps over TCP"},
         250,
         100,
         2,
         kMediaTcpPassive},
        {{"nothing decoded is not behind", Verdict::Fail, "no frame decoded within the"},
         250,
         0,
         0,
         kMediaUdp},
        {{"not measured", Verdict::Pass, "first picture after 800 ms"},
         std::nullopt,
         100,
         0,
         kMediaUdp},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.c.name);
        Wire w;
        w.Register();
        MediaObservation m = Invite(w, row.transport, Answer(row.transport));
        m.framesReceived = row.received;
        m.frames = row.decoded;
        m.sequenceGaps = row.gaps;
        w.obs.media.push_back(m);
        const char* id = row.transport == kMediaUdp ? "live.udp" : "live.tcp_passive";
        ExpectVerdict(Judge(id, w.obs), row.c);
    }
}

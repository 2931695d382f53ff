// The voice broadcast row on hand-made observations: the notification's
// answers, the device's INVITE for the audio, Tarvex's answer to it and the
// packets sent, each way the exchange can stop short.
#include "CheckKit.h"

namespace checkkit {
namespace {

// The device's audio offer, as a camera writes it.
const std::string kAudioOffer =
    "v=0\r\no=" + kDevice + " 0 0 IN IP4 127.0.0.1\r\ns=Play\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
    "m=audio 30000 RTP/AVP 8 0\r\na=recvonly\r\na=rtpmap:8 PCMA/8000\r\na=rtpmap:0 PCMU/8000\r\n"
    "y=0100000001\r\nf=v/////a/1/8/1\r\n";

struct Wiring {
    int notifyStatus = 200;           // 0: no notification; -1: unanswered
    const char* result = "OK";        // the Response's Result; nullptr: none
    bool invite = true;               // the device INVITEs
    const char* offer = nullptr;      // its SDP (nullptr: kAudioOffer)
    int inviteStatus = 200;           // Tarvex's answer to it
    std::optional<std::uint64_t> packets = 50;
};

Observation Exchange(const Wiring& s) {
    Wire w;
    w.Register();
    w.After(100);
    if (s.notifyStatus != 0) {
        w.ToDevice("Notify", "Broadcast", 7,
                   " <SourceID>" + kPlatform + "</SourceID>\r\n <TargetID>" + kDevice + "</TargetID>\r\n",
                   s.notifyStatus == 200 ? 20 : -1);
        if (s.notifyStatus > 200) w.Reply(static_cast<int>(w.obs.messages.size()) - 1, s.notifyStatus);
        w.After(30);
        if (s.result)
            w.FromDevice(std::string("<?xml version=\"1.0\"?>\r\n<Response>\r\n<CmdType>Broadcast</CmdType>\r\n"
                                     "<SN>7</SN>\r\n<DeviceID>") +
                         kDevice + "</DeviceID>\r\n<Result>" + s.result + "</Result>\r\n</Response>\r\n");
        if (s.invite) {
            w.After(40);
            const std::string sdp = s.offer ? s.offer : kAudioOffer;
            const int inv = w.Add(Direction::Received,
                                  w.DeviceHead("INVITE", 40, "Content-Type: APPLICATION/SDP\r\n", sdp.size()), sdp);
            w.After(5);
            w.Reply(inv, s.inviteStatus);
        }
    }
    w.obs.broadcastPackets = s.packets;
    return w.obs;
}

TEST(BroadcastCheck, EachStepOfTheExchangeJudged) {
    const std::string videoOffer = Replace(kAudioOffer, "m=audio 30000 RTP/AVP 8 0", "m=video 30000 RTP/AVP 96");
    struct Row {
        Case c;
        Wiring s;
    };
    const Row rows[] = {
        {{"every step", Verdict::Pass, "answered 200 and Result OK; the device's INVITE for the audio answered 200; "
                                       "50 audio packets sent"},
         {}},
        {{"no notification sent", Verdict::NotRun, "sent no Broadcast notification"}, {.notifyStatus = 0}},
        {{"notification unanswered", Verdict::Fail, "got no answer"},
         {.notifyStatus = -1, .result = nullptr, .invite = false}},
        {{"notification refused", Verdict::NotSupported, "answered 501"},
         {.notifyStatus = 501, .result = nullptr, .invite = false}},
        {{"Result ERROR", Verdict::NotSupported, "answered Result ERROR"}, {.result = "ERROR", .invite = false}},
        {{"no INVITE follows", Verdict::NotSupported, "Result OK, but the device sent no INVITE for the audio"},
         {.invite = false, .packets = std::nullopt}},
        // A video offer is no broadcast's INVITE.
        {{"a video INVITE", Verdict::NotSupported, "sent no INVITE for the audio"},
         {.offer = videoOffer.c_str(), .packets = std::nullopt}},
        {{"offer Tarvex refused", Verdict::Fail, "answered 488 (no PCMA, PCMU or PS offered)"},
         {.inviteStatus = 488, .packets = std::nullopt}},
        {{"call set up, nothing sent", Verdict::Fail, "no audio packet reached"}, {.packets = 0}},
        {{"no Response, audio sent", Verdict::Pass, "(no Response)"}, {.result = nullptr}},
    };
    for (const Row& r : rows) ExpectVerdict(Judge("broadcast.audio", Exchange(r.s)), r.c);
}

// The notification's Response is paired with it: its SN and DeviceID (the
// audio output named as TargetID) are judged as a query's answer's are.
TEST(BroadcastCheck, TheResponseAnswersTheNotification) {
    for (const std::string sn : {"7", "8"}) {
        Observation obs = Exchange({});
        for (ObservedMessage& m : obs.messages)
            if (m.manscdp.Is("Response", "Broadcast"))
                m = ObserveMessage(m.direction, m.timeMs, m.timeText, m.head,
                                   Replace(m.body, "<SN>7</SN>", "<SN>" + sn + "</SN>"));
        const CheckResult r = Judge("answers.sn", obs);
        EXPECT_STREQ(VerdictText(r.verdict), VerdictText(sn == "7" ? Verdict::Pass : Verdict::Fail)) << r.reason;
        EXPECT_STREQ(VerdictText(Judge("answers.device", obs).verdict), VerdictText(Verdict::Pass))
            << Judge("answers.device", obs).reason;
    }
}

} // namespace
} // namespace checkkit

#include "sim/camera/Voice.h"

#include "media/audio/VoiceSdp.h"
#include "media/audio/WavFile.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tvsim {

namespace {

std::string FirstBody(const osip_message_t* m) {
    osip_body_t* b = nullptr;
    if (!m || osip_message_get_body(m, 0, &b) != 0 || !b || !b->body) return {};
    return std::string(b->body, b->length);
}

} // namespace

DeviceVoice::DeviceVoice(sipua::SipAgent& agent, const CameraOptions& o, std::string localIp,
                         PrintFn print)
    : agent_(agent), o_(o), localIp_(std::move(localIp)), print_(std::move(print)) {}

DeviceVoice::~DeviceVoice() {
    for (auto& [cid, c] : calls_) {
        if (c.in) c.in->Stop();
        if (c.back) c.back->Stop();
    }
}

bool DeviceVoice::IsTalkOffer(const std::string& sdp) {
    return tvaudio::ParseAudioSdp(sdp).audio && sdp.find("m=video") == std::string::npos;
}

void DeviceVoice::OnTalk(sipua::Event& ev, const std::string& channel) {
    const tvaudio::AudioSdp offer = tvaudio::ParseAudioSdp(FirstBody(ev.request.get()));
    std::vector<int> pts;
    const bool aac = o_.talkCodec == "aac";
    tvaudio::AacFormat aacFormat;
    std::string error;
    if (aac) {
        // The offer's 102 says how the platform's AAC comes; ours goes the same way.
        if (std::find(offer.payloadTypes.begin(), offer.payloadTypes.end(), tvaudio::kAacPayloadType) !=
                offer.payloadTypes.end() &&
            tvaudio::AacFormatOf(offer, aacFormat, error))
            pts.push_back(tvaudio::kAacPayloadType);
    } else {
        for (int pt : tvaudio::AnswerPayloadTypes(offer.payloadTypes))
            if (pt != 96) pts.push_back(pt);
    }
    if (pts.empty() || offer.port <= 0 || offer.tcp) {
        agent_.SendCallAnswer(ev.tid, 488, nullptr);
        print_("talk for " + channel + ": refused with 488 (" + (aac ? "AAC in 102" : "G.711") + " over UDP only" +
               (error.empty() ? "" : ": " + error) + ")");
        return;
    }
    Call c;
    c.source = offer.owner;
    c.target = channel;
    tvaudio::AudioInConfig in;
    in.localIp = localIp_;
    c.in = std::make_unique<tvaudio::RtpAudioIn>(in);
    if (!c.in->Open(error)) {
        agent_.SendCallAnswer(ev.tid, 500, nullptr);
        print_("talk: " + error);
        return;
    }
    // Our side of the conversation: a second of the tone, played in a loop.
    tvaudio::AudioOutConfig out;
    out.law = pts.front() == 0 ? tvaudio::G711Law::U : tvaudio::G711Law::A;
    out.aac = aac;
    out.aacFormat = aacFormat;
    out.net.localIp = localIp_;
    out.net.remoteIp = offer.ip;
    out.net.remotePort = static_cast<uint16_t>(offer.port);
    out.net.ssrc = 200000000u + nextSsrc_;
    c.back = std::make_unique<tvaudio::VoiceSender>(out);
    tvaudio::PcmBlock tone;
    const double hz = o_.talkTone;
    for (int i = 0; i < 8000; ++i)
        tone.samples.push_back(static_cast<int16_t>(9000 * std::sin(2 * M_PI * hz * i / 8000)));
    const std::string wav = "/tmp/tarvex-camera-talk-" + std::to_string(getpid()) + "-" +
                            std::to_string(ev.cid) + ".wav";
    const bool started = c.back->Open(error) && tvaudio::WriteWav(wav, tone) && c.back->StartWav(wav, true, error);
    unlink(wav.c_str()); // read whole by StartWav
    if (!started) {
        agent_.SendCallAnswer(ev.tid, 500, nullptr);
        print_("talk: cannot send the tone: " + error);
        return;
    }
    StartMeasuring(c, aac ? &aacFormat : nullptr);
    tvaudio::AudioSdp answer;
    answer.session = "Talk";
    answer.owner = channel;
    answer.ip = localIp_;
    answer.port = c.in->LocalPort();
    answer.payloadTypes = {pts.front()};
    answer.direction = "sendrecv";
    char y[16];
    std::snprintf(y, sizeof y, "%010u", 100000000u + nextSsrc_++);
    answer.ssrc = y;
    sipua::MessagePtr ans;
    if (agent_.BuildCallAnswer(ev.tid, 200, ans) != 0 || !ans) {
        print_("talk: cannot answer the INVITE");
        c.in->Stop();
        c.back->Stop();
        return;
    }
    const std::string body = tvaudio::WriteAudioSdp(answer);
    osip_message_set_body(ans.get(), body.data(), body.size());
    osip_message_set_content_type(ans.get(), "application/sdp");
    agent_.SendCallAnswer(ev.tid, 200, std::move(ans));
    c.did = ev.did;
    print_("talk for " + channel + ": answered 200 (UDP port " + std::to_string(answer.port) +
           ", payload type " + std::to_string(pts.front()) + "), sending a " + std::to_string(static_cast<int>(hz)) +
           " Hz tone to " + offer.ip + ":" + std::to_string(offer.port));
    calls_[ev.cid] = std::move(c);
}

bool DeviceVoice::OnBroadcast(const std::string& sourceId, const std::string& targetId) {
    Call c;
    c.source = sourceId;
    c.target = targetId;
    tvaudio::AudioInConfig in;
    in.localIp = localIp_;
    in.transport = o_.voiceTransport == "tcp-passive" ? tvaudio::InTransport::TcpListen
                   : o_.voiceTransport == "tcp-active" ? tvaudio::InTransport::TcpConnect
                                                       : tvaudio::InTransport::Udp;
    c.in = std::make_unique<tvaudio::RtpAudioIn>(in);
    std::string error;
    if (!c.in->Open(error)) {
        print_("voice: " + error);
        return false;
    }
    tvaudio::AudioSdp offer;
    offer.owner = targetId;
    offer.ip = localIp_;
    // An active end names the discard port: it connects and listens nowhere.
    offer.port = in.transport == tvaudio::InTransport::TcpConnect ? 9 : c.in->LocalPort();
    offer.tcp = in.transport != tvaudio::InTransport::Udp;
    offer.setup = in.transport == tvaudio::InTransport::TcpListen ? "passive" : "active";
    offer.payloadTypes = {8, 0};
    offer.direction = "recvonly";
    char y[16];
    std::snprintf(y, sizeof y, "%010u", 100000000u + nextSsrc_++);
    offer.ssrc = y;
    const std::string to = "<sip:" + sourceId + "@" + o_.serverIp + ":" + std::to_string(o_.serverPort) + ">";
    const std::string from = "<sip:" + targetId + "@" + o_.domain + ">";
    // Subject: the audio's sender (the platform) and its receiver (us).
    const std::string subject = sourceId + ":0," + targetId + ":" + offer.ssrc;
    sipua::MessagePtr m;
    if (agent_.BuildInitialInvite(m, to.c_str(), from.c_str(), nullptr, subject.c_str()) != 0 || !m) {
        print_("voice: cannot build the INVITE");
        return false;
    }
    const std::string body = tvaudio::WriteAudioSdp(offer);
    osip_message_set_body(m.get(), body.data(), body.size());
    osip_message_set_content_type(m.get(), "APPLICATION/SDP");
    const int cid = agent_.SendInitialInvite(std::move(m));
    if (cid <= 0) {
        print_("voice: cannot send the INVITE");
        return false;
    }
    print_("broadcast from " + sourceId + " for " + targetId + ": INVITE for audio sent (" +
           (offer.tcp ? "TCP " + offer.setup : std::string("UDP")) + " port " +
           std::to_string(offer.port) + ")");
    calls_[cid] = std::move(c);
    return true;
}

void DeviceVoice::OnAnswer(sipua::Event& ev) {
    auto it = calls_.find(ev.cid);
    if (it == calls_.end()) return;
    Call& c = it->second;
    const int st = ev.response ? ev.response->status_code : 0;
    if (st < 200) return;
    if (st >= 300) {
        print_("voice: INVITE answered " + std::to_string(st));
        calls_.erase(it);
        return;
    }
    c.did = ev.did;
    if (!ev.ack) {
        sipua::MessagePtr ack;
        if (agent_.BuildAck(ev.did, ack) == 0 && ack) agent_.SendAck(ev.did, std::move(ack));
    }
    const tvaudio::AudioSdp a = tvaudio::ParseAudioSdp(FirstBody(ev.response.get()));
    if (!a.audio || a.payloadTypes.empty()) {
        print_("voice: the answer has no audio");
        return;
    }
    if (o_.voiceTransport == "tcp-active") {
        // The connecting receiver is made anew with the platform's port.
        tvaudio::AudioInConfig in;
        in.transport = tvaudio::InTransport::TcpConnect;
        in.remoteIp = a.ip;
        in.remotePort = static_cast<uint16_t>(a.port);
        c.in = std::make_unique<tvaudio::RtpAudioIn>(in);
        std::string error;
        c.in->Open(error);
    }
    StartMeasuring(c);
    std::string pts;
    for (int pt : a.payloadTypes) pts += (pts.empty() ? "" : " ") + std::to_string(pt);
    print_("voice: INVITE answered 200 (" + a.direction + ", payload types " + pts + ", from " +
           a.ip + ":" + std::to_string(a.port) + ")");
}

// What comes in, A- or U-law (or AAC), is decoded into the tone meter.
void DeviceVoice::StartMeasuring(Call& c, const tvaudio::AacFormat* aac) {
    c.decodeA = std::make_unique<tvaudio::G711Decode>(tvaudio::G711Law::A);
    c.decodeU = std::make_unique<tvaudio::G711Decode>(tvaudio::G711Law::U);
    c.meter = std::make_unique<tvaudio::ToneMeter>();
    c.decodeA->SetOutput(c.meter.get());
    c.decodeU->SetOutput(c.meter.get());
    if (aac) {
        c.decodeAac = std::make_unique<tvaudio::AacUnitDecode>(aac->config);
        c.decodeAac->SetOutput(c.meter.get());
        c.in->SetAac(*aac, c.decodeAac.get());
    }
    c.in->Start(c.decodeA.get(), c.decodeU.get());
    c.receiving = true;
}

void DeviceVoice::Report(Call& c, const std::string& why) {
    if (!c.receiving) {
        print_("voice call ended (" + why + ") before any audio was set up");
        return;
    }
    c.in->Stop(); // joins: the meter is ours from here
    uint64_t sentBack = 0;
    if (c.back) {
        c.back->Stop();
        sentBack = c.back->PacketsSent();
    }
    const double hz = c.meter->Frequency();
    char line[256];
    std::snprintf(line, sizeof line, "voice ended (%s): %llu packets, payload type %d, %zu samples, tone %.1f Hz, rms %.0f",
                  why.c_str(), static_cast<unsigned long long>(c.in->Packets()), c.in->LastPayloadType(),
                  c.meter->SamplesSeen(), hz, c.meter->Rms());
    std::string text = line;
    if (c.back) text += "; " + std::to_string(sentBack) + " packets of tone sent back";
    if (o_.expectTone > 0) {
        const bool ok = std::fabs(hz - o_.expectTone) <= 10;
        char e[96];
        std::snprintf(e, sizeof e, "; expected %.0f Hz: %s", o_.expectTone, ok ? "ok" : "WRONG");
        text += e;
    }
    print_(text);
    c.receiving = false;
}

void DeviceVoice::OnClosed(int cid, const std::string& why) {
    auto it = calls_.find(cid);
    if (it == calls_.end()) return;
    Report(it->second, why);
    calls_.erase(it);
}

void DeviceVoice::EndAll() {
    for (auto& [cid, c] : calls_) {
        agent_.TerminateCall(cid, c.did);
        Report(c, "leaving");
    }
    calls_.clear();
}

} // namespace tvsim

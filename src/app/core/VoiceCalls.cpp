#include "app/core/VoiceCalls.h"

#include "media/audio/VoiceSdp.h"

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <random>
#include <utility>

std::string VoiceCalls::NotifyBody(int sn, const std::string& sourceId, const std::string& targetId) {
    return "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<Notify>\r\n<CmdType>Broadcast</CmdType>\r\n<SN>" +
           std::to_string(sn) + "</SN>\r\n<SourceID>" + sourceId + "</SourceID>\r\n<TargetID>" + targetId +
           "</TargetID>\r\n</Notify>\r\n";
}

void VoiceCalls::Announced(const std::string& deviceId, const std::string& targetId) {
    std::lock_guard lk(mutex_);
    const auto now = std::chrono::steady_clock::now();
    pending_.erase(std::remove_if(pending_.begin(), pending_.end(),
                                  [&](const Pending& p) {
                                      return p.targetId == targetId || now - p.when > kOfferWindow;
                                  }),
                   pending_.end());
    pending_.push_back({deviceId, targetId, now});
}

CallAnswer VoiceCalls::Offered(const OfferedCall& call, const std::string& localIp) {
    CallAnswer refuse;
    const tvaudio::AudioSdp offer = tvaudio::ParseAudioSdp(call.sdp);
    const std::vector<int> pts = tvaudio::AnswerPayloadTypes(offer.payloadTypes);
    std::lock_guard lk(mutex_);
    const auto now = std::chrono::steady_clock::now();
    // The INVITE comes from the audio output the notification named (or its device).
    auto p = std::find_if(pending_.begin(), pending_.end(), [&](const Pending& x) {
        return (x.targetId == call.fromUser || x.deviceId == call.fromUser) && now - x.when <= kOfferWindow;
    });
    if (p == pending_.end()) {
        refuse.status = 481; // no broadcast of ours it could belong to
        return refuse;
    }
    if (!offer.audio || pts.empty() || offer.port <= 0) return refuse; // 488
    tvaudio::AudioOutConfig cfg;
    cfg.law = pts.front() == 0 ? tvaudio::G711Law::U : tvaudio::G711Law::A;
    cfg.programStream = pts.front() == 96;
    cfg.net.localIp = localIp;
    cfg.net.remoteIp = offer.ip.empty() ? call.sourceHost : offer.ip;
    cfg.net.remotePort = static_cast<uint16_t>(offer.port);
    // y= is the SSRC the device expects, as on a live view's answer.
    cfg.net.ssrc = offer.ssrc.empty() ? std::random_device{}() : static_cast<uint32_t>(std::strtoul(offer.ssrc.c_str(), nullptr, 10));
    tvaudio::AudioSdp answer;
    answer.session = offer.session.empty() ? "Play" : offer.session;
    answer.tcp = offer.tcp;
    if (offer.tcp) {
        // RFC 4145: the device's active means we listen, its passive that we connect.
        const bool weListen = offer.setup != "passive";
        cfg.net.transport = weListen ? tvsend::MediaTransport::TcpListen : tvsend::MediaTransport::TcpConnect;
        answer.setup = weListen ? "passive" : "active";
    }
    auto sender = std::make_unique<tvaudio::VoiceSender>(cfg);
    std::string error;
    if (!sender->Open(error)) {
        refuse.status = 500;
        return refuse;
    }
    answer.owner = call.toUser;
    answer.ip = localIp;
    answer.port = offer.tcp && !(cfg.net.transport == tvsend::MediaTransport::TcpListen) ? 9 : sender->LocalPort();
    answer.payloadTypes = pts;
    answer.direction = tvaudio::AnswerDirection(offer.direction.empty() ? "recvonly" : offer.direction);
    answer.ssrc = offer.ssrc;
    Call c;
    c.deviceId = p->deviceId;
    c.targetId = p->targetId;
    c.sender = std::move(sender);
    c.wav = !wav_.empty();
    pending_.erase(p);
    if (c.wav) {
        c.sender->onInput = onWavInput;
        if (!c.sender->StartWav(wav_, true, error)) {
            refuse.status = 500;
            return refuse;
        }
    } else {
        c.sender->Start();
    }
    calls_[call.callId] = std::move(c);
    return {200, tvaudio::WriteAudioSdp(answer)};
}

std::string VoiceCalls::OfferTalk(const std::string& deviceId, const std::string& channelId,
                                  const std::string& localIp, std::string& error, bool offerAac) {
    auto c = std::make_unique<Call>();
    c->deviceId = deviceId;
    c->targetId = channelId;
    tvaudio::AudioInConfig in;
    in.localIp = localIp.empty() ? "0.0.0.0" : localIp;
    c->in = std::make_unique<tvaudio::RtpAudioIn>(in);
    if (!c->in->Open(error)) return {};
    char y[16];
    std::snprintf(y, sizeof y, "0%09u", static_cast<unsigned>(std::random_device{}() % 1000000000u));
    c->ssrc = y;
    tvaudio::AudioSdp offer;
    offer.session = "Talk";
    offer.owner = channelId;
    offer.ip = localIp;
    offer.port = c->in->LocalPort();
    offer.payloadTypes = {8, 0};
    if (offerAac) offer.payloadTypes.push_back(tvaudio::kAacPayloadType);
    offer.direction = "sendrecv";
    offer.ssrc = c->ssrc;
    std::unique_ptr<Call> old;
    {
        std::lock_guard lk(mutex_);
        old = std::exchange(talkOffer_, std::move(c));
    }
    if (old) StopCall(*old);
    return tvaudio::WriteAudioSdp(offer);
}

bool VoiceCalls::TalkSent(int callId, std::string& what, HeldAnswer& other) {
    std::unique_ptr<Call> c;
    std::optional<HeldAnswer> held;
    bool handBack = false;
    {
        std::lock_guard lk(mutex_);
        c = std::move(talkOffer_);
        held = std::exchange(heldAnswer_, std::nullopt);
        const bool refused = callId > 0 && std::exchange(closedEarly_, 0) == callId;
        if (c && callId > 0 && !refused) {
            Call& filed = calls_[callId] = std::move(*c);
            c.reset();
            if (held && held->callId == callId) AnswerTalkLocked(filed, held->sdp, what);
        }
        if (held && held->callId != callId) {
            other = std::move(*held);
            handBack = true;
        }
    }
    if (c) StopCall(*c);
    return handBack;
}

bool VoiceCalls::TalkAnswered(int callId, int dialogId, const std::string& sdp, std::string& what) {
    std::lock_guard lk(mutex_);
    auto it = calls_.find(callId);
    if (it == calls_.end() || !it->second.in) {
        if (!talkOffer_) return false;
        heldAnswer_ = HeldAnswer{callId, dialogId, sdp}; // TalkSent sorts it out
        what.clear();
        return true;
    }
    AnswerTalkLocked(it->second, sdp, what);
    return true;
}

void VoiceCalls::AnswerTalkLocked(Call& c, const std::string& sdp, std::string& what) {
    const tvaudio::AudioSdp a = tvaudio::ParseAudioSdp(sdp);
    std::vector<int> pts;
    for (int pt : a.payloadTypes)
        if (pt == 8 || pt == 0) pts.push_back(pt);
    if (c.sender) { // a repeated 200
        what = "answered again";
        return;
    }
    // G.711 when the answer keeps it; AAC when it keeps only 102.
    const bool aac = pts.empty() && std::find(a.payloadTypes.begin(), a.payloadTypes.end(),
                                              tvaudio::kAacPayloadType) != a.payloadTypes.end();
    if (!a.audio || (pts.empty() && !aac) || a.port <= 0 || a.ip.empty() || a.tcp) {
        what = "no G.711 or AAC over UDP in the answer: nothing sent";
        return;
    }
    tvaudio::AudioOutConfig cfg;
    cfg.law = !aac && pts.front() == 0 ? tvaudio::G711Law::U : tvaudio::G711Law::A;
    if (aac) {
        std::string error;
        if (!tvaudio::AacFormatOf(a, cfg.aacFormat, error)) {
            what = "cannot take the answer's AAC: " + error + "; nothing sent";
            return;
        }
        cfg.aac = true;
    }
    cfg.net.remoteIp = a.ip;
    cfg.net.remotePort = static_cast<uint16_t>(a.port);
    cfg.net.ssrc = a.ssrc.empty() ? std::random_device{}()
                                  : static_cast<uint32_t>(std::strtoul(a.ssrc.c_str(), nullptr, 10));
    auto sender = std::make_unique<tvaudio::VoiceSender>(cfg);
    std::string error;
    if (!sender->Open(error)) {
        what = "cannot send: " + error;
        return;
    }
    c.wav = !wav_.empty();
    if (c.wav) {
        sender->onInput = onWavInput;
        if (!sender->StartWav(wav_, true, error)) {
            what = "cannot send: " + error;
            return;
        }
    } else {
        sender->Start();
    }
    c.sender = std::move(sender);
    c.alaw = std::make_unique<ToPlayer>();
    c.alaw->player = player_;
    c.ulaw = std::make_unique<ToPlayer>();
    c.ulaw->player = player_;
    c.ulaw->codec = tvaudio::DeviceCodec::G711U;
    std::string sent = aac ? "AAC" : pts.front() == 0 ? "PCMU" : "PCMA";
    if (aac) {
        c.aac = std::make_unique<AacToPlayer>();
        c.aac->player = player_;
        c.aac->config = cfg.aacFormat.config;
        c.in->SetAac(cfg.aacFormat, c.aac.get());
        sent += " (" + std::to_string(cfg.aacFormat.rate) + " Hz, " + std::to_string(cfg.aacFormat.channels) +
                (cfg.aacFormat.channels == 1 ? " channel)" : " channels)");
    }
    c.in->Start(c.alaw.get(), c.ulaw.get());
    what = "sending " + sent + " to " + a.ip + ":" + std::to_string(a.port) + ", playing what comes to port " +
           std::to_string(c.in->LocalPort());
}

uint64_t VoiceCalls::PacketsReceived() const {
    std::lock_guard lk(mutex_);
    uint64_t n = 0;
    for (const auto& [cid, c] : calls_)
        if (c.in) n += c.in->Packets();
    return n;
}

void VoiceCalls::StopCall(Call& c) {
    if (c.sender) c.sender->Stop();
    if (c.in) c.in->Stop();
}

bool VoiceCalls::Closed(int callId) {
    Call c;
    {
        std::lock_guard lk(mutex_);
        auto it = calls_.find(callId);
        if (it == calls_.end()) {
            // A refusal that overtook our talk offer's TalkSent: not filed then.
            if (talkOffer_) closedEarly_ = callId;
            return false;
        }
        c = std::move(it->second);
        calls_.erase(it);
    }
    StopCall(c); // joins the threads, without our lock
    return true;
}

std::vector<int> VoiceCalls::EndAll() {
    std::map<int, Call> all;
    std::unique_ptr<Call> offer;
    {
        std::lock_guard lk(mutex_);
        all.swap(calls_);
        pending_.clear();
        offer = std::move(talkOffer_);
        heldAnswer_.reset();
    }
    if (offer) StopCall(*offer);
    std::vector<int> ids;
    for (auto& [cid, c] : all) {
        StopCall(c);
        ids.push_back(cid);
    }
    return ids;
}

bool VoiceCalls::Active() const {
    std::lock_guard lk(mutex_);
    return !calls_.empty();
}

bool VoiceCalls::Sending() const {
    std::lock_guard lk(mutex_);
    for (const auto& [cid, c] : calls_)
        if (!c.sender || !c.sender->Connected()) return false;
    return !calls_.empty();
}

uint64_t VoiceCalls::PacketsSent() const {
    std::lock_guard lk(mutex_);
    uint64_t n = 0;
    for (const auto& [cid, c] : calls_)
        if (c.sender) n += c.sender->PacketsSent();
    return n;
}

void VoiceCalls::SetWavSource(const std::string& path) {
    std::lock_guard lk(mutex_);
    wav_ = path;
}

void VoiceCalls::FeedMicrophone(const int16_t* samples, std::size_t frames, int rate, int channels) {
    std::lock_guard lk(mutex_);
    for (auto& [cid, c] : calls_)
        if (!c.wav && c.sender) c.sender->PushPcm(samples, frames, rate, channels);
}

#include "app/core/VoiceCalls.h"

#include "media/audio/VoiceSdp.h"

#include <algorithm>
#include <cstdlib>
#include <random>

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
    Call c{p->deviceId, p->targetId, std::move(sender), !wav_.empty()};
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

bool VoiceCalls::Closed(int callId) {
    std::unique_ptr<tvaudio::VoiceSender> s;
    {
        std::lock_guard lk(mutex_);
        auto it = calls_.find(callId);
        if (it == calls_.end()) return false;
        s = std::move(it->second.sender);
        calls_.erase(it);
    }
    s->Stop(); // joins the sender's thread, without our lock
    return true;
}

std::vector<int> VoiceCalls::EndAll() {
    std::map<int, Call> all;
    {
        std::lock_guard lk(mutex_);
        all.swap(calls_);
        pending_.clear();
    }
    std::vector<int> ids;
    for (auto& [cid, c] : all) {
        c.sender->Stop();
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
        if (!c.sender->Connected()) return false;
    return !calls_.empty();
}

uint64_t VoiceCalls::PacketsSent() const {
    std::lock_guard lk(mutex_);
    uint64_t n = 0;
    for (const auto& [cid, c] : calls_) n += c.sender->PacketsSent();
    return n;
}

void VoiceCalls::SetWavSource(const std::string& path) {
    std::lock_guard lk(mutex_);
    wav_ = path;
}

void VoiceCalls::FeedMicrophone(const int16_t* samples, std::size_t frames, int rate, int channels) {
    std::lock_guard lk(mutex_);
    for (auto& [cid, c] : calls_)
        if (!c.wav) c.sender->PushPcm(samples, frames, rate, channels);
}

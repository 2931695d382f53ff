// The core's voice rows: the broadcast notification, the device's INVITE for
// our audio, and the audio toggle's part in it (samples in, BYE when off).
#include "app/core/CTarvexCore.h"

#include "media/audio/VoiceSdp.h"

#include <cstdio>

void CTarvexCore::WireVoice() {
    audio_.SetCaptureTap([this](const int16_t* s, std::size_t frames, int rate, int channels) {
        voice_.FeedMicrophone(s, frames, rate, channels);
    });
    // 停止音频: the broadcast ends with it.
    audio_.onToggled = [this](bool on) {
        if (!on) EndVoice();
    };
    voice_.onWavInput = [this](const tvaudio::PcmBlock& b) {
        audio_.ShowInput(b.samples.data(), b.Frames(), b.channels);
    };
}

void CTarvexCore::EndVoice() {
    for (int cid : voice_.EndAll()) {
        sip_->EndCall(cid, 0);
        std::printf("call %d ended (voice), BYE sent\n", cid);
        std::fflush(stdout);
    }
}

bool CTarvexCore::BuildBroadcastLocked(int set, int row, const Target& t, Outgoing& out) {
    const MediaRow r = MediaRowAt(set, row);
    if (r.action != MediaRowAction::OpenVoice || !r.command || std::string(r.command) != "BroadCast")
        return false;
    std::optional<int> untick;
    const CommandEntry* e = builder_.Select(kListMedia, row, untick);
    if (!e) return false;
    if (untick) {
        out.untick.push_back({kListSignalling, *untick});
        out.untick.push_back({kListMedia, *untick});
    }
    out.tick = CommandBuilder::Tick{kListMedia, row};
    // TargetID: the selected channel's audio output (the device without one).
    const std::string device(t.device->node->id);
    const std::string target = t.channel.empty() ? device : t.channel;
    const std::string body = VoiceCalls::NotifyBody(builder_.TakeSequenceNumber(), localId_, target);
    typeText_ = std::string(e->label) + "\n";
    out.shownText = body;
    SipRequest req;
    req.kind = kKindQuery; // sent as MESSAGE (kind 2, Notify, is never sent)
    req.body = body;
    req.to = t.device->Address();
    out.send = std::move(req);
    voice_.Announced(device, target);
    return true;
}

CallAnswer CTarvexCore::OnCallOffered(const OfferedCall& call) {
    std::string address;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        address = settings_->mediaAddress.empty() ? settings_->localAddress : settings_->mediaAddress;
    }
    const CallAnswer a = voice_.Offered(call, address);
    const tvaudio::AudioSdp offer = tvaudio::ParseAudioSdp(call.sdp);
    std::printf("call %d offered by %s (voice, %s port %d): answered %d\n", call.callId,
                call.fromUser.c_str(), offer.tcp ? "TCP" : "UDP", offer.port, a.status);
    std::fflush(stdout);
    return a;
}

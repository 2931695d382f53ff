// The core's voice rows: the broadcast notification, the device's INVITE for
// our audio, the talk offer and its answer, and the audio toggle's part in it
// (samples in, BYE when off); the device's sound from the media session.
#include "app/core/CTarvexCore.h"

#include "manscdp/gb2022/Gb2022Bodies.h" // EditionSetting
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
    // The audio of the stream in the view is heard; the receive thread only
    // queues it.
    voice_.SetPlayer(&deviceAudio_);
    media_->SetAudioTap([this](std::uint8_t type, const std::uint8_t* data, std::size_t n) {
        deviceAudio_.PushStreamType(type, data, n);
    });
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
    const std::string command = r.command ? r.command : "";
    if (r.action != MediaRowAction::OpenVoice || (command != "BroadCast" && command != "Dialog"))
        return false;
    std::optional<int> untick;
    const CommandEntry* e = builder_.Select(kListMedia, row, untick);
    if (!e) return false;
    if (untick) {
        out.untick.push_back({kListSignalling, *untick});
        out.untick.push_back({kListMedia, *untick});
    }
    out.tick = CommandBuilder::Tick{kListMedia, row};
    if (command == "Dialog") return BuildTalkLocked(*e, t, out);
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

bool CTarvexCore::BuildTalkLocked(const CommandEntry& e, const Target& t, Outgoing& out) {
    const std::string device(t.device->node->id);
    const std::string channel = t.channel.empty() ? device : t.channel;
    const std::string address = settings_->mediaAddress.empty() ? settings_->localAddress : settings_->mediaAddress;
    std::string error;
    const bool edition2022 = EditionSetting(settings_->gbEdition) == GbEdition::Gb2022;
    const std::string sdp = voice_.OfferTalk(device, channel, address, error, edition2022);
    typeText_ = std::string(e.label) + "\n";
    if (sdp.empty()) {
        out.messages.push_back("语音对讲: " + error);
        return true;
    }
    out.shownText = sdp;
    SipRequest req;
    req.kind = kKindInvite;
    req.body = sdp;
    req.to = t.device->Address();
    req.to.id = channel;
    // Subject: the channel sends to us and we to it.
    req.subject = channel + ":" + tvaudio::ParseAudioSdp(sdp).ssrc + "," + localId_ + ":0";
    out.send = std::move(req);
    out.talk = true;
    return true;
}

bool CTarvexCore::TalkAnswered(int callId, int dialogId, const std::string& sdp) {
    std::string what;
    if (!voice_.TalkAnswered(callId, dialogId, sdp, what)) return false;
    if (!what.empty()) {
        std::printf("call %d answered (talk): %s\n", callId, what.c_str());
        std::fflush(stdout);
    }
    return true;
}

void CTarvexCore::TalkSent(int callId) {
    std::string what;
    VoiceCalls::HeldAnswer other;
    if (voice_.TalkSent(callId, what, other)) OnCallAnswered(other.callId, other.dialogId, other.sdp);
    if (!what.empty()) {
        std::printf("call %d answered (talk): %s\n", callId, what.c_str());
        std::fflush(stdout);
    }
}

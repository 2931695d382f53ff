#pragma once
// The operator's voice: a broadcast is announced to the selected channel with
// a Broadcast notification (SourceID: us, TargetID: the channel), the device
// then INVITEs us for the audio, and each such call gets a VoiceSender that
// carries the microphone (or a chosen WAV file) to where the device's SDP
// says. No toolkit; called on the GUI thread (clicks, the audio toggle), the
// SIP event thread (offers, closed calls) and the capture thread (samples).
//
// Talk (语音对讲) goes the other way: we INVITE the channel offering our
// receiving port (sendrecv, PCMA and PCMU, and AAC in 102 under 2022), and
// once it answers, the microphone goes to its port as for a broadcast (G.711,
// or AAC when the answer keeps only 102) while what it sends is decoded and
// played (DeviceAudio).
//
// Lock: mutex_ is a leaf but for VoiceSender's own queue lock, taken inside
// it by PushPcm, and DeviceAudio's queue lock, taken on a receiver's thread
// without it; no call into the core, the endpoint or the view holds it.

#include "audio/player/DeviceAudio.h"
#include "media/audio/VoiceSender.h"
#include "sip/endpoint/SipEndpoint.h"

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class VoiceCalls {
public:
    // How long after its notification a device may INVITE us for a broadcast.
    static constexpr std::chrono::seconds kOfferWindow{30};

    // The Broadcast notification's body.
    static std::string NotifyBody(int sn, const std::string& sourceId, const std::string& targetId);

    // A broadcast was announced to targetId (a channel or the device itself) of deviceId.
    void Announced(const std::string& deviceId, const std::string& targetId);
    // A device's INVITE: 200 with our SDP when it follows an announcement to
    // it and offers G.711 (the sender is started), else a refusal. localIp
    // goes into c=.
    CallAnswer Offered(const OfferedCall& call, const std::string& localIp);
    // Talk: the offer for channelId of deviceId (our receiving port on
    // localIp, y= the SSRC we expect), kept until TalkSent names its call.
    // Empty with error set when no port could be opened. offerAac (国标版本
    // 2022) lists AAC in 102 after G.711; an answer that keeps only AAC
    // makes an AAC call both ways, one that keeps G.711 a G.711 call.
    std::string OfferTalk(const std::string& deviceId, const std::string& channelId,
                          const std::string& localIp, std::string& error, bool offerAac = false);
    // The device answered a talk INVITE: true when callId is one (what tells
    // what was started, for the log; empty when the answer is held); its
    // sender starts toward the answer's address. An answer without G.711 or
    // AAC starts nothing. While a talk offer's INVITE is being sent, any answer
    // of an unknown call is held for TalkSent: it may be the offer's.
    bool TalkAnswered(int callId, int dialogId, const std::string& sdp, std::string& what);
    // The offer's INVITE went out as callId (0 or less: it did not). An
    // answer held meanwhile is filed: what says so when it was the offer's;
    // one of another call is handed back (true, with its ids and SDP).
    struct HeldAnswer {
        int callId = 0, dialogId = 0;
        std::string sdp;
    };
    bool TalkSent(int callId, std::string& what, HeldAnswer& other);
    // Where the device's talk audio is played (set before the first call).
    void SetPlayer(tvaudio::DeviceAudio* player) { player_ = player; }
    // Packets received from the devices in the open talk calls.
    uint64_t PacketsReceived() const;

    // The call ended; true when it was one of ours (its sender is stopped).
    bool Closed(int callId);
    // Stops every sender; returns their calls, for the BYEs.
    std::vector<int> EndAll();
    bool Active() const;
    // Every open call's sender has its transport up (false with none).
    bool Sending() const;
    // Packets sent by the senders of the calls open now.
    uint64_t PacketsSent() const;

    // The source of the next calls: empty for the microphone, else a WAV
    // file played in a loop.
    void SetWavSource(const std::string& path);
    // Captured samples, to every call that sends the microphone.
    void FeedMicrophone(const int16_t* samples, std::size_t frames, int rate, int channels);
    // What a WAV-fed sender sends, for the input meter (on its thread).
    std::function<void(const tvaudio::PcmBlock&)> onWavInput;

private:
    struct Pending {
        std::string deviceId, targetId;
        std::chrono::steady_clock::time_point when;
    };
    // The device's talk audio, as RtpAudioIn hands it on, to the player.
    struct ToPlayer final : tvaudio::Sink<tvaudio::G711Block> {
        tvaudio::DeviceAudio* player = nullptr;
        tvaudio::DeviceCodec codec = tvaudio::DeviceCodec::G711A;
        void Push(const tvaudio::G711Block& b) override {
            if (player) player->Push(codec, b.bytes.data(), b.bytes.size());
        }
    };
    // The device's AAC access units, behind ADTS headers of its config, to the player.
    struct AacToPlayer final : tvaudio::Sink<tvaudio::AacFrame> {
        tvaudio::DeviceAudio* player = nullptr;
        std::vector<uint8_t> config;
        void Push(const tvaudio::AacFrame& f) override {
            const std::vector<uint8_t> adts = tvaudio::AdtsFrame(config, f.bytes.data(), f.bytes.size());
            if (player && !adts.empty()) player->Push(tvaudio::DeviceCodec::Aac, adts.data(), adts.size());
        }
    };
    struct Call {
        std::string deviceId, targetId;
        std::unique_ptr<tvaudio::VoiceSender> sender; // null until a talk call is answered
        bool wav = false;
        std::unique_ptr<tvaudio::RtpAudioIn> in; // talk: what the device sends
        std::unique_ptr<ToPlayer> alaw, ulaw;
        std::unique_ptr<AacToPlayer> aac;
        std::string ssrc; // talk: our offer's y=
    };
    // Stops a call's threads (without mutex_).
    static void StopCall(Call& c);
    void AnswerTalkLocked(Call& c, const std::string& sdp, std::string& what);
    std::optional<HeldAnswer> heldAnswer_;
    int closedEarly_ = 0; // a call ended while a talk offer was being sent
    mutable std::mutex mutex_;
    std::vector<Pending> pending_;
    std::unique_ptr<Call> talkOffer_; // offered, its INVITE not yet sent
    tvaudio::DeviceAudio* player_ = nullptr;
    std::map<int, Call> calls_;
    std::string wav_;
};

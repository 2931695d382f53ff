#pragma once
// The device's side of a voice broadcast: a Broadcast notification makes the
// device INVITE the platform for the audio (its SDP: m=audio with PCMA and
// PCMU, a=recvonly, y=, f=), the platform's answer says where the audio comes
// from, and the received G.711 is counted and its tone measured. A talk call
// (the platform's INVITE offering audio alone, sendrecv) is answered with our
// audio port; the platform's audio is measured the same way and a tone goes
// back to where its offer says (G.711, or with --talk-codec aac AAC in 102,
// RFC 3640). Everything runs on the device's thread but
// the receiver and the tone's sender, which have their own.

#include "media/audio/AacRtp.h"
#include "media/audio/G711Codec.h"
#include "media/audio/RtpAudio.h"
#include "media/audio/ToneMeter.h"
#include "media/audio/VoiceSender.h"
#include "sim/camera/Options.h"
#include "sip/ua/SipAgent.h"

#include <functional>
#include <map>
#include <memory>
#include <string>

namespace tvsim {

class DeviceVoice {
public:
    using PrintFn = std::function<void(const std::string&)>;
    DeviceVoice(sipua::SipAgent& agent, const CameraOptions& o, std::string localIp, PrintFn print);
    ~DeviceVoice();

    // The notification from sourceId (the platform) for our targetId: INVITEs
    // the platform for its audio. False (and nothing sent) when the INVITE
    // cannot be made.
    bool OnBroadcast(const std::string& sourceId, const std::string& targetId);
    bool Owns(int cid) const { return calls_.count(cid) != 0; }
    // An offer of audio and no video: a talk INVITE.
    static bool IsTalkOffer(const std::string& sdp);
    // Answers the talk INVITE of ev for channel (200, or 488 without G.711, or
    // with --talk-codec aac without AAC in 102).
    void OnTalk(sipua::Event& ev, const std::string& channel);
    // An answer to one of our INVITEs (any status); acknowledges a 2xx and
    // starts taking the audio.
    void OnAnswer(sipua::Event& ev);
    // The call ended (BYE either way, or released): prints what was received.
    void OnClosed(int cid, const std::string& why);
    // BYE to every voice call (the device leaves).
    void EndAll();

private:
    struct Call {
        std::string source, target;
        std::unique_ptr<tvaudio::RtpAudioIn> in;
        std::unique_ptr<tvaudio::G711Decode> decodeA, decodeU;
        std::unique_ptr<tvaudio::AacUnitDecode> decodeAac; // talk in AAC only
        std::unique_ptr<tvaudio::ToneMeter> meter;
        int did = 0;
        bool receiving = false;
        std::unique_ptr<tvaudio::VoiceSender> back; // talk: our tone to the platform
    };
    // aac: the AAC payload type is decoded into the meter too.
    void StartMeasuring(Call& c, const tvaudio::AacFormat* aac = nullptr);
    void Report(Call& c, const std::string& why);

    sipua::SipAgent& agent_;
    const CameraOptions& o_;
    std::string localIp_;
    PrintFn print_;
    std::map<int, Call> calls_;
    uint32_t nextSsrc_ = 1;
};

} // namespace tvsim

#pragma once
// The operator's voice: a broadcast is announced to the selected channel with
// a Broadcast notification (SourceID: us, TargetID: the channel), the device
// then INVITEs us for the audio, and each such call gets a VoiceSender that
// carries the microphone (or a chosen WAV file) to where the device's SDP
// says. No toolkit; called on the GUI thread (clicks, the audio toggle), the
// SIP event thread (offers, closed calls) and the capture thread (samples).
//
// Lock: mutex_ is a leaf but for VoiceSender's own queue lock, taken inside
// it by PushPcm; no call into the core, the endpoint or the view holds it.

#include "media/audio/VoiceSender.h"
#include "sip/endpoint/SipEndpoint.h"

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
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
    struct Call {
        std::string deviceId, targetId;
        std::unique_ptr<tvaudio::VoiceSender> sender;
        bool wav = false;
    };
    mutable std::mutex mutex_;
    std::vector<Pending> pending_;
    std::map<int, Call> calls_;
    std::string wav_;
};

#pragma once
// The SDP of a voice call as devices write it: one m=audio line over RTP/AVP
// (UDP) or TCP/RTP/AVP (with a=setup, RFC 4145 / 4571), G.711 as the static
// payload types 8 (PCMA) and 0 (PCMU) at 8000 Hz, or 96 for a program stream;
// a direction attribute; y= the SSRC as ten decimal digits; f= the media
// description, whose audio part "a/1/8/1" reads G.711, 64 kbit/s, 8 kHz.

#include "media/audio/AacRtp.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tvaudio {

struct AudioSdp {
    std::string session = "Play"; // s=: Play for a broadcast, Talk for two-way audio
    std::string owner;            // o= user
    std::string ip;               // c=
    int port = 0;                 // m=audio port
    bool tcp = false;             // TCP/RTP/AVP
    std::string setup;            // a=setup: active | passive (TCP only)
    std::vector<int> payloadTypes; // in the m= line's order
    std::string direction;        // sendonly | recvonly | sendrecv | ""
    std::string ssrc;             // y=
    bool audio = false;           // an m=audio line was found
    // The audio section's a=rtpmap and a=fmtp values by payload type (what
    // follows "a=rtpmap:PT ", "a=fmtp:PT ").
    std::map<int, std::string> rtpmap, fmtp;
};

// AAC in a 2022 talk offer: payload type 102, AAC-LC at 8 kHz, one channel,
// in RFC 3640's AAC-hbr mode (config 1588 is that AudioSpecificConfig:
// object type 2, rate index 11, one channel).
constexpr int kAacPayloadType = 102;
constexpr const char* kAacRtpmap = "a=rtpmap:102 AAC/8000/1\r\n";
constexpr const char* kAacFmtp =
    "a=fmtp:102 streamtype=5;profile-level-id=16;mode=AAC-hbr;config=1588;sizeLength=13;"
    "indexLength=3;indexDeltaLength=3;constantDuration=1024\r\n";

// The AAC format of payload type 102 in s: its rtpmap and fmtp, our offer's
// (AAC/8000/1, 13/3/3 bits, config 1588) for what it leaves out.
bool AacFormatOf(const AudioSdp& s, AacFormat& out, std::string& error);

// Reads the first m=audio section (session-level c= when it has none).
AudioSdp ParseAudioSdp(const std::string& sdp);
// CR LF lines; rtpmap lines for 8, 0 and 96, rtpmap and fmtp for 102.
std::string WriteAudioSdp(const AudioSdp& s);

// Our answer to a device's audio offer: the G.711 types it lists, PCMA
// before PCMU (empty when it lists neither, nor PS).
std::vector<int> AnswerPayloadTypes(const std::vector<int>& offered);
// The direction that answers dir (recvonly -> sendonly and back).
std::string AnswerDirection(const std::string& dir);

} // namespace tvaudio

#include "media/audio/VoiceSdp.h"

#include <algorithm>
#include <sstream>

namespace tvaudio {

namespace {

std::vector<std::string> Words(const std::string& s) {
    std::istringstream in(s);
    std::vector<std::string> w;
    for (std::string x; in >> x;) w.push_back(x);
    return w;
}

} // namespace

AudioSdp ParseAudioSdp(const std::string& sdp) {
    AudioSdp s;
    s.session.clear();
    std::istringstream in(sdp);
    std::string line, sessionIp;
    bool inAudio = false, inOther = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() < 2 || line[1] != '=') continue;
        const char k = line[0];
        const std::string v = line.substr(2);
        if (k == 'm') {
            if (s.audio) break; // the first audio section only
            const auto w = Words(v);
            inAudio = w.size() >= 3 && w[0] == "audio";
            inOther = !inAudio;
            if (inAudio) {
                s.audio = true;
                s.port = std::atoi(w[1].c_str());
                s.tcp = w[2].rfind("TCP", 0) == 0;
                for (std::size_t i = 3; i < w.size(); ++i) s.payloadTypes.push_back(std::atoi(w[i].c_str()));
            }
            continue;
        }
        if (k == 'o' && !inAudio && !inOther) {
            const auto w = Words(v);
            if (!w.empty()) s.owner = w[0];
        } else if (k == 's' && !inAudio && !inOther) {
            s.session = v;
        } else if (k == 'c') {
            const auto w = Words(v);
            if (w.size() >= 3) (inAudio ? s.ip : sessionIp) = w[2];
        } else if (k == 'y') {
            s.ssrc = v; // y= follows the media section it belongs to, or ends the SDP
        } else if (k == 'a' && !inOther) {
            if (v.rfind("setup:", 0) == 0) s.setup = v.substr(6);
            else if (inAudio && (v.rfind("rtpmap:", 0) == 0 || v.rfind("fmtp:", 0) == 0)) {
                const std::size_t colon = v.find(':'), space = v.find(' ', colon);
                if (space != std::string::npos)
                    (v[0] == 'r' ? s.rtpmap : s.fmtp)[std::atoi(v.c_str() + colon + 1)] = v.substr(space + 1);
            } else if (v == "sendonly" || v == "recvonly" || v == "sendrecv" || v == "inactive") s.direction = v;
        }
    }
    if (s.ip.empty()) s.ip = sessionIp;
    return s;
}

std::string WriteAudioSdp(const AudioSdp& s) {
    std::ostringstream o;
    o << "v=0\r\n"
      << "o=" << s.owner << " 0 0 IN IP4 " << s.ip << "\r\n"
      << "s=" << s.session << "\r\n"
      << "c=IN IP4 " << s.ip << "\r\n"
      << "t=0 0\r\n"
      << "m=audio " << s.port << (s.tcp ? " TCP/RTP/AVP" : " RTP/AVP");
    for (int pt : s.payloadTypes) o << ' ' << pt;
    o << "\r\n";
    if (!s.direction.empty()) o << "a=" << s.direction << "\r\n";
    for (int pt : s.payloadTypes) {
        if (pt == 8) o << "a=rtpmap:8 PCMA/8000\r\n";
        else if (pt == 0) o << "a=rtpmap:0 PCMU/8000\r\n";
        else if (pt == 96) o << "a=rtpmap:96 PS/90000\r\n";
        else if (pt == kAacPayloadType) o << kAacRtpmap << kAacFmtp;
    }
    if (s.tcp && !s.setup.empty()) o << "a=setup:" << s.setup << "\r\na=connection:new\r\n";
    if (!s.ssrc.empty()) o << "y=" << s.ssrc << "\r\n";
    o << "f=v/////a/1/8/1\r\n";
    return o.str();
}

bool AacFormatOf(const AudioSdp& s, AacFormat& out, std::string& error) {
    const auto map = s.rtpmap.find(kAacPayloadType);
    const auto fmtp = s.fmtp.find(kAacPayloadType);
    return ReadAacFormat(kAacPayloadType, map == s.rtpmap.end() ? std::string() : map->second,
                         fmtp == s.fmtp.end() ? std::string() : fmtp->second, out, error);
}

std::vector<int> AnswerPayloadTypes(const std::vector<int>& offered) {
    std::vector<int> out;
    for (int want : {8, 0})
        if (std::find(offered.begin(), offered.end(), want) != offered.end()) out.push_back(want);
    if (out.empty() && std::find(offered.begin(), offered.end(), 96) != offered.end()) out.push_back(96);
    return out;
}

std::string AnswerDirection(const std::string& dir) {
    if (dir == "recvonly") return "sendonly";
    if (dir == "sendonly") return "recvonly";
    if (dir == "inactive") return "inactive";
    return "sendrecv";
}

} // namespace tvaudio

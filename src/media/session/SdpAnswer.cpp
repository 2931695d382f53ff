#include "media/session/SdpAnswer.h"

#include <sys/time.h> // before osip: its headers use struct timeval

#include <osipparser2/osip_port.h>
#include <osipparser2/sdp_message.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct SdpFree {
    void operator()(sdp_message_t* s) const { sdp_message_free(s); }
};

// libosip2's parser refuses line types it does not know, such as the y= (SSRC)
// and f= (media format) lines of GB/T 28181 answers; those lines are dropped
// and bare LF line ends become CR LF.
std::string KnownLines(const std::string& in) {
    std::string out;
    std::size_t pos = 0;
    while (pos < in.size()) {
        std::size_t e = in.find('\n', pos);
        std::string line = in.substr(pos, e == std::string::npos ? std::string::npos : e - pos);
        pos = e == std::string::npos ? in.size() : e + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() >= 2 && line[1] == '=' && std::strchr("vosiuepcbtrzkam", line[0]))
            out += line + "\r\n";
    }
    return out;
}

bool SameNoCase(const std::string& a, const char* b) {
    return osip_strcasecmp(a.c_str(), b) == 0;
}

AnswerEncoding EncodingOf(const std::string& name) {
    if (SameNoCase(name, "PS") || SameNoCase(name, "MP2P")) return AnswerEncoding::Ps;
    if (SameNoCase(name, "H264")) return AnswerEncoding::H264;
    if (SameNoCase(name, "H265") || SameNoCase(name, "HEVC")) return AnswerEncoding::H265;
    return AnswerEncoding::Other;
}

// The y= line libosip2 does not read: its digits, at most ten of them.
std::optional<std::uint32_t> SsrcLine(const std::string& in) {
    std::size_t pos = 0;
    while (pos < in.size()) {
        std::size_t e = in.find('\n', pos);
        std::string line = in.substr(pos, e == std::string::npos ? std::string::npos : e - pos);
        pos = e == std::string::npos ? in.size() : e + 1;
        if (line.size() < 3 || line[0] != 'y' || line[1] != '=') continue;
        std::uint64_t v = 0;
        std::size_t digits = 0;
        for (std::size_t i = 2; i < line.size(); ++i) {
            if (line[i] == '\r' || line[i] == ' ') continue;
            if (!std::isdigit(static_cast<unsigned char>(line[i])) || ++digits > 10) return {};
            v = v * 10 + static_cast<std::uint64_t>(line[i] - '0');
        }
        if (digits == 0 || v > 0xFFFFFFFFull) return {};
        return static_cast<std::uint32_t>(v);
    }
    return {};
}

} // namespace

AnswerMedia ReadAnswer(const std::string& sdp) {
    AnswerMedia a;
    sdp_message_t* raw = nullptr;
    if (sdp_message_init(&raw) != 0) return a;
    std::unique_ptr<sdp_message_t, SdpFree> msg(raw);
    const std::string text = KnownLines(sdp);
    if (text.empty() || sdp_message_parse(msg.get(), text.c_str()) != 0) return a;
    a.parsed = true;
    a.ssrc = SsrcLine(sdp);
    for (int i = 0; !sdp_message_endof_media(msg.get(), i); ++i) {
        const char* media = sdp_message_m_media_get(msg.get(), i);
        if (!media) continue;
        if (osip_strcasecmp(media, "audio") == 0) a.audio = true;
        if (a.video || osip_strcasecmp(media, "video") != 0) continue;
        // The first video line counts, as the SIP library's lookup has it.
        a.video = true;
        const char* port = sdp_message_m_port_get(msg.get(), i);
        a.videoPort = port ? std::atoi(port) : 0;
        const char* c = sdp_message_c_addr_get(msg.get(), i, 0);
        if (!c) c = sdp_message_c_addr_get(msg.get(), -1, 0);
        if (c) a.connection = c;
        if (const char* f = sdp_message_m_payload_get(msg.get(), i, 0)) a.payloadType = std::atoi(f);
        for (int k = 0; sdp_message_a_att_field_get(msg.get(), i, k); ++k) {
            const std::string field = sdp_message_a_att_field_get(msg.get(), i, k);
            const char* value = sdp_message_a_att_value_get(msg.get(), i, k);
            if (!value) continue;
            if (field == "setup") a.setup = value;
            if (field != "rtpmap") continue;
            // "98 PS/90000": the payload type, its name up to the slash.
            char* end = nullptr;
            const long pt = std::strtol(value, &end, 10);
            if (end == value || pt != a.payloadType) continue;
            std::string name(end);
            name.erase(0, name.find_first_not_of(' '));
            name = name.substr(0, name.find('/'));
            a.encodingName = name;
        }
        if (a.payloadType >= 0)
            a.encoding = !a.encodingName.empty() ? EncodingOf(a.encodingName)
                         : a.payloadType == 96   ? AnswerEncoding::Ps
                                                 : AnswerEncoding::Other;
    }
    return a;
}

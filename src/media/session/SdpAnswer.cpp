#include "media/session/SdpAnswer.h"

#include <sys/time.h> // before osip: its headers use struct timeval

#include <osipparser2/osip_port.h>
#include <osipparser2/sdp_message.h>

#include <cctype>
#include <cerrno>
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
    if (SameNoCase(name, "AAC") || SameNoCase(name, "MPEG4-GENERIC")) return AnswerEncoding::Aac;
    return AnswerEncoding::Other;
}

// A payload type without a=rtpmap: 96 is PS in both editions (as devices
// answer it); 2022 fixes 100 as H.265 and 102 as AAC.
AnswerEncoding StaticEncoding(int pt, bool edition2022) {
    if (pt == 96) return AnswerEncoding::Ps;
    if (edition2022 && pt == 100) return AnswerEncoding::H265;
    if (edition2022 && pt == 102) return AnswerEncoding::Aac;
    return AnswerEncoding::Other;
}

// The rtpmap name of payload type pt among the attributes of media line i.
std::string RtpmapName(sdp_message_t* msg, int i, int pt) {
    std::string found;
    for (int k = 0; sdp_message_a_att_field_get(msg, i, k); ++k) {
        const char* value = sdp_message_a_att_value_get(msg, i, k);
        if (!value || std::strcmp(sdp_message_a_att_field_get(msg, i, k), "rtpmap") != 0)
            continue;
        // "98 PS/90000": the payload type, its name up to the slash.
        char* end = nullptr;
        const long v = std::strtol(value, &end, 10);
        if (end == value || v != pt) continue;
        std::string name(end);
        name.erase(0, name.find_first_not_of(' '));
        found = name.substr(0, name.find('/'));
    }
    return found;
}

// A whole decimal number, sign allowed, nothing after it but blanks.
std::optional<std::int64_t> Number(const char* text) {
    if (!text) return {};
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text, &end, 10);
    if (end == text || errno == ERANGE) return {};
    while (*end == ' ' || *end == '\t') ++end;
    if (*end) return {};
    return v;
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

AnswerMedia ReadAnswer(const std::string& sdp, bool edition2022) {
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
            if (field == "filesize") {
                const auto n = Number(value);
                if (n && *n >= 0) a.fileSize = *n;
            }
            // Devices and platforms spell it three ways; a=streamnumber first.
            if (field == "streamnumber" ||
                (!a.streamNumber && (field == "stream" || field == "streamprofile"))) {
                const auto n = Number(value);
                if (n && *n >= 0 && *n <= 255) a.streamNumber = static_cast<int>(*n);
            }
        }
        a.encodingName = RtpmapName(msg.get(), i, a.payloadType);
        if (a.payloadType >= 0)
            a.encoding = !a.encodingName.empty() ? EncodingOf(a.encodingName)
                                                 : StaticEncoding(a.payloadType, edition2022);
    }
    // The first audio line's first format.
    for (int i = 0; !sdp_message_endof_media(msg.get(), i); ++i) {
        const char* media = sdp_message_m_media_get(msg.get(), i);
        if (!media || osip_strcasecmp(media, "audio") != 0) continue;
        const char* f = sdp_message_m_payload_get(msg.get(), i, 0);
        if (!f) break;
        a.audioPayloadType = std::atoi(f);
        const std::string name = RtpmapName(msg.get(), i, a.audioPayloadType);
        a.audioEncoding =
            !name.empty() ? EncodingOf(name) : StaticEncoding(a.audioPayloadType, edition2022);
        break;
    }
    return a;
}

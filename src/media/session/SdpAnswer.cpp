#include "media/session/SdpAnswer.h"

#include <sys/time.h> // before osip: its headers use struct timeval

#include <osipparser2/osip_port.h>
#include <osipparser2/sdp_message.h>

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

} // namespace

AnswerMedia ReadAnswer(const std::string& sdp) {
    AnswerMedia a;
    sdp_message_t* raw = nullptr;
    if (sdp_message_init(&raw) != 0) return a;
    std::unique_ptr<sdp_message_t, SdpFree> msg(raw);
    const std::string text = KnownLines(sdp);
    if (text.empty() || sdp_message_parse(msg.get(), text.c_str()) != 0) return a;
    a.parsed = true;
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
    }
    return a;
}

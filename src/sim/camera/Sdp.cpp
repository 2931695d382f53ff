#include "sim/camera/Sdp.h"

#include <cstdlib>
#include <sstream>
#include <vector>

namespace tvsim {

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t e = text.find('\n', pos);
        std::string l = text.substr(pos, e == std::string::npos ? std::string::npos : e - pos);
        if (!l.empty() && l.back() == '\r') l.pop_back();
        out.push_back(l);
        if (e == std::string::npos) break;
        pos = e + 1;
    }
    return out;
}

std::vector<std::string> Words(const std::string& s) {
    std::vector<std::string> w;
    std::istringstream in(s);
    std::string x;
    while (in >> x) w.push_back(x);
    return w;
}

std::string Trim(std::string s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.pop_back();
    std::size_t i = s.find_first_not_of(" \t");
    return i == std::string::npos ? "" : s.substr(i);
}

bool StartsWithNoCase(const std::string& s, const char* p) {
    std::size_t i = 0;
    for (; p[i]; ++i)
        if (i >= s.size() || std::tolower(static_cast<unsigned char>(s[i])) != std::tolower(static_cast<unsigned char>(p[i])))
            return false;
    return true;
}

} // namespace

bool ParseOffer(const std::string& sdp, MediaOffer& o, std::string& error) {
    o = MediaOffer{};
    std::string sessionAddr, mediaAddr;
    bool inVideo = false, sawVideo = false;
    for (const std::string& l : Lines(sdp)) {
        if (l.size() < 2 || l[1] != '=') continue;
        std::string v = l.substr(2);
        switch (l[0]) {
        case 's': o.sessionName = Trim(v); break;
        case 'c': {
            auto w = Words(v);
            if (w.size() >= 3) (inVideo ? mediaAddr : sessionAddr) = w[2];
            break;
        }
        case 't': {
            auto w = Words(v);
            if (w.size() >= 2) {
                o.start = std::atoll(w[0].c_str());
                o.end = std::atoll(w[1].c_str());
            }
            break;
        }
        case 'm': {
            auto w = Words(v);
            inVideo = !w.empty() && w[0] == "video" && !sawVideo;
            if (inVideo && w.size() >= 3) {
                sawVideo = true;
                o.port = std::atoi(w[1].c_str());
                o.tcp = w[2].find("TCP") != std::string::npos;
                for (std::size_t i = 3; i < w.size(); ++i)
                    if (w[i] == "96") o.hasPs = true;
            }
            break;
        }
        case 'a':
            if (!inVideo && sawVideo) break;
            if (v.rfind("setup:", 0) == 0) o.setup = Trim(v.substr(6));
            else if (v.rfind("downloadspeed:", 0) == 0) o.downloadSpeed = std::atoi(v.c_str() + 14);
            else if (v.rfind("rtpmap:", 0) == 0 && v.find("PS/90000") != std::string::npos) o.hasPs = true;
            break;
        case 'y': o.ssrc = Trim(v); break;
        default: break;
        }
    }
    o.address = mediaAddr.empty() ? sessionAddr : mediaAddr;
    if (!sawVideo) error = "no m=video line";
    else if (o.port <= 0 || o.port > 65535) error = "no usable port in m=video";
    else if (o.address.empty()) error = "no c= line";
    else if (!o.hasPs) error = "payload type 96 (PS/90000) not offered";
    else return true;
    return false;
}

std::string BuildAnswer(const MediaAnswer& a) {
    std::ostringstream o;
    o << "v=0\r\n"
      << "o=" << a.deviceId << " 0 0 IN IP4 " << a.address << "\r\n"
      << "s=" << a.sessionName << "\r\n"
      << "c=IN IP4 " << a.address << "\r\n"
      << "t=" << a.start << " " << a.end << "\r\n"
      << "m=video " << a.port << " " << (a.tcp ? "TCP/RTP/AVP" : "RTP/AVP") << " "
      << a.payloadType << "\r\n"
      << "a=sendonly\r\n"
      << "a=rtpmap:" << a.payloadType << " PS/90000\r\n";
    if (a.tcp) o << "a=setup:" << a.setup << "\r\na=connection:new\r\n";
    if (a.fileSize >= 0) o << "a=filesize:" << a.fileSize << "\r\n";
    if (!a.ssrc.empty()) o << "y=" << a.ssrc << "\r\n";
    o << "f=" << a.format << "\r\n";
    return o.str();
}

bool ParsePlaybackCommand(const std::string& text, PlaybackCommand& c, std::string& error) {
    c = PlaybackCommand{};
    auto lines = Lines(text);
    std::size_t first = 0;
    while (first < lines.size() && Trim(lines[first]).empty()) ++first;
    if (first == lines.size()) {
        error = "empty playback control";
        return false;
    }
    auto w = Words(lines[first]);
    if (w.size() < 2 || w[1].rfind("RTSP/", 0) != 0) {
        error = "not a MANSRTSP request line: " + lines[first];
        return false;
    }
    c.method = w[0];
    for (std::size_t i = first + 1; i < lines.size(); ++i) {
        const std::string& l = lines[i];
        std::size_t colon = l.find(':');
        if (colon == std::string::npos) continue;
        std::string value = Trim(l.substr(colon + 1));
        if (StartsWithNoCase(l, "Scale")) {
            char* end = nullptr;
            double s = std::strtod(value.c_str(), &end);
            if (end != value.c_str()) {
                c.hasScale = true;
                c.scale = s;
            }
        } else if (StartsWithNoCase(l, "Range")) {
            std::size_t eq = value.find('=');
            std::string r = eq == std::string::npos ? value : value.substr(eq + 1);
            c.hasRange = true;
            if (r.rfind("now", 0) == 0) c.rangeStart = -1;
            else c.rangeStart = std::atof(r.c_str());
        }
    }
    return true;
}

uint32_t SsrcFromText(const std::string& y) {
    uint64_t v = 0;
    for (char ch : y) {
        if (ch < '0' || ch > '9') continue;
        v = v * 10 + static_cast<uint64_t>(ch - '0');
        if (v > 0xFFFFFFFFull) v &= 0xFFFFFFFFull;
    }
    return static_cast<uint32_t>(v);
}

} // namespace tvsim

#include "check/battery/Sdp.h"

#include "check/battery/Observation.h"
#include "check/battery/SipText.h"

#include <sstream>

namespace tarvex::check {
namespace {

std::vector<std::string> Words(std::string_view s) {
    std::vector<std::string> out;
    std::istringstream in{std::string(s)};
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
}

bool AttributeIs(const std::string& a, std::string_view name, std::string* value) {
    if (a.compare(0, name.size(), name) != 0) return false;
    if (a.size() == name.size()) {
        value->clear();
        return true;
    }
    if (a[name.size()] != ':') return false;
    *value = Trim(std::string_view(a).substr(name.size() + 1));
    return true;
}

} // namespace

std::optional<std::string> Sdp::First(char type) const {
    for (const auto& [t, v] : lines)
        if (t == type) return v;
    return std::nullopt;
}

const SdpMedia* Sdp::Media(std::string_view type) const {
    for (const auto& m : media)
        if (m.type == type) return &m;
    return nullptr;
}

std::optional<std::string> Sdp::Attribute(const SdpMedia* m, std::string_view name) const {
    std::string v;
    if (m)
        for (const auto& a : m->attributes)
            if (AttributeIs(a, name, &v)) return v;
    for (const auto& a : attributes)
        if (AttributeIs(a, name, &v)) return v;
    return std::nullopt;
}

Sdp ParseSdp(std::string_view text) {
    Sdp sdp;
    std::size_t i = 0;
    int lineNo = 0;
    while (i < text.size()) {
        std::size_t nl = text.find('\n', i);
        if (nl == std::string_view::npos) nl = text.size();
        std::string_view line = text.substr(i, nl - i);
        i = nl + 1;
        ++lineNo;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) continue;
        if (line.size() < 2 || line[1] != '=' || line[0] < 'a' || line[0] > 'z') {
            if (sdp.problem.empty())
                sdp.problem = "line " + std::to_string(lineNo) + " \"" + std::string(line) +
                              "\" is not <type>=<value>";
            continue;
        }
        const char type = line[0];
        const std::string value(line.substr(2));
        sdp.lines.emplace_back(type, value);
        if (type == 'm') {
            const std::vector<std::string> w = Words(value);
            SdpMedia m;
            if (w.size() > 0) m.type = w[0];
            if (w.size() > 1) m.port = w[1];
            if (w.size() > 2) m.proto = w[2];
            for (std::size_t k = 3; k < w.size(); ++k)
                m.formats.push_back(w[k]);
            sdp.media.push_back(std::move(m));
        } else if (type == 'a') {
            (sdp.media.empty() ? sdp.attributes : sdp.media.back().attributes).push_back(value);
        } else if (type == 'c') {
            (sdp.media.empty() ? sdp.connection : sdp.media.back().connection) = value;
        }
    }
    return sdp;
}

std::optional<std::uint32_t> SsrcOfY(std::string_view y) {
    const std::string t = Trim(y);
    if (!IsDigits(t, 10)) return std::nullopt;
    const unsigned long long v = std::stoull(t);
    if (v > 0xFFFFFFFFull) return std::nullopt;
    return static_cast<std::uint32_t>(v);
}

std::string SdpAnswerProblem(std::string_view answerText, std::string_view offerText, int transport,
                             bool history) {
    if (Trim(answerText).empty()) return "the answer carries no SDP";
    const Sdp a = ParseSdp(answerText);
    if (!a.problem.empty()) return a.problem;
    if (a.lines.front().first != 'v' || a.lines.front().second != "0")
        return "it does not begin with v=0";
    const std::optional<std::string> o = a.First('o');
    if (!o || Words(*o).size() != 6) return "no o= line of six fields";
    if (!a.First('s')) return "no s= line";
    if (!a.First('t')) return "no t= line";
    const SdpMedia* v = a.Media("video");
    if (!v) return "no m=video line";
    long port = 0;
    if (!ParseLong(v->port, &port) || port < 0 || port > 65535)
        return "m=video port \"" + v->port + "\" is not a port";
    if (port == 0) return "m=video port 0 refuses the stream";
    const bool tcp = transport != kMediaUdp;
    const char* proto = tcp ? "TCP/RTP/AVP" : "RTP/AVP";
    if (!EqualsNoCase(v->proto, proto))
        return "m=video transport " + v->proto + ", offered " + proto;
    const Sdp offer = ParseSdp(offerText);
    const SdpMedia* ov = offer.Media("video");
    if (v->formats.empty()) return "m=video lists no payload type";
    if (ov) {
        bool offered = false;
        for (const auto& f : ov->formats)
            offered = offered || f == v->formats.front();
        if (!offered) return "payload type " + v->formats.front() + " was not offered";
    }
    const std::string c = !v->connection.empty() ? v->connection : a.connection;
    const std::vector<std::string> cw = Words(c);
    if (cw.size() < 3 || cw[0] != "IN" || cw[1] != "IP4" || !IsIpv4(cw[2]))
        return c.empty() ? "no c= line" : "c=" + c + " is not IN IP4 <address>";
    if (a.Attribute(v, "recvonly")) return "a=recvonly: the device would not send";
    if (a.Attribute(v, "inactive")) return "a=inactive: the device would not send";
    const std::optional<std::string> y = a.First('y');
    if (!y) return "no y= line (SSRC)";
    if (!IsDigits(Trim(*y), 10)) return "y=" + *y + " is not ten digits";
    const char wantDigit = history ? '1' : '0';
    if (Trim(*y)[0] != wantDigit)
        return "y=" + *y + " starts with " + Trim(*y)[0] + ", " +
               (history ? "recordings" : "live view") + " take " + wantDigit;
    const std::optional<std::uint32_t> ssrc = SsrcOfY(*y);
    if (!ssrc) return "y=" + *y + " does not fit a 32-bit SSRC";
    if (*ssrc == 0) return "y=" + *y + " gives SSRC 0";
    if (tcp) {
        const std::optional<std::string> setup = a.Attribute(v, "setup");
        // RFC 4145: the device takes the role opposite to ours.
        const char* want = transport == kMediaTcpPassive ? "active" : "passive";
        if (!setup) return std::string("no a=setup (the device must be ") + want + ")";
        if (!EqualsNoCase(*setup, want))
            return "a=setup:" + *setup + ", but with " + MediaTransportName(transport) +
                   " the device must be " + want;
    }
    return {};
}

} // namespace tarvex::check

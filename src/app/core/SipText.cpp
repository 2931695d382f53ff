#include "app/core/SipText.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace tarvex::siptext {

namespace {

bool IEquals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::string_view Trim(std::string_view v) {
    while (!v.empty() && std::isspace(static_cast<unsigned char>(v.front()))) v.remove_prefix(1);
    while (!v.empty() && std::isspace(static_cast<unsigned char>(v.back()))) v.remove_suffix(1);
    return v;
}

// The lines of head, without their line ends.
template <class F> void ForEachLine(std::string_view head, F f) {
    std::size_t at = 0;
    while (at < head.size()) {
        std::size_t e = head.find('\n', at);
        if (e == std::string_view::npos) e = head.size();
        std::string_view line = head.substr(at, e - at);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!f(line)) return;
        at = e + 1;
    }
}

// host:port of a "host[:port]" or "[v6]:port" text; defaultPort when none.
std::string HostPort(std::string_view hp, std::string_view defaultPort) {
    hp = Trim(hp);
    if (hp.empty()) return {};
    const std::size_t close = hp.front() == '[' ? hp.find(']') : std::string_view::npos;
    const std::size_t colon = close != std::string_view::npos ? hp.find(':', close) : hp.rfind(':');
    if (colon == std::string_view::npos) return std::string(hp) + ":" + std::string(defaultPort);
    return std::string(hp);
}

// The value of ;name=value in a header's parameters; empty when absent.
std::string_view Param(std::string_view params, std::string_view name, bool* present = nullptr) {
    std::size_t at = 0;
    while ((at = params.find(';', at)) != std::string_view::npos) {
        ++at;
        std::size_t end = params.find_first_of(";,", at);
        std::string_view p = params.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
        const std::size_t eq = p.find('=');
        if (IEquals(Trim(p.substr(0, eq)), name)) {
            if (present) *present = true;
            return eq == std::string_view::npos ? std::string_view{} : Trim(p.substr(eq + 1));
        }
    }
    return {};
}

} // namespace

std::string_view FirstLine(std::string_view head) {
    const std::size_t e = head.find_first_of("\r\n");
    return e == std::string_view::npos ? head : head.substr(0, e);
}

std::string_view MethodOf(std::string_view head) {
    const std::string_view line = FirstLine(head);
    if (line.rfind("SIP/", 0) == 0) return {};
    return line.substr(0, line.find(' '));
}

int StatusOf(std::string_view head) {
    const std::string_view line = FirstLine(head);
    if (line.rfind("SIP/", 0) != 0) return -1;
    const std::size_t sp = line.find(' ');
    if (sp == std::string_view::npos || sp + 4 > line.size()) return -1;
    return std::atoi(std::string(line.substr(sp + 1, 3)).c_str());
}

std::string_view Summary(std::string_view head) {
    const std::string_view line = FirstLine(head);
    if (line.rfind("SIP/", 0) != 0) return line.substr(0, line.find(' '));
    const std::size_t sp = line.find(' ');
    return sp == std::string_view::npos ? line : Trim(line.substr(sp + 1));
}

std::string_view HeaderValue(std::string_view head, std::string_view name, std::string_view compact) {
    std::string_view found;
    bool first = true;
    ForEachLine(head, [&](std::string_view line) {
        if (first) return first = false, true; // the start line
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) return true;
        const std::string_view n = Trim(line.substr(0, colon));
        if (IEquals(n, name) || (!compact.empty() && IEquals(n, compact))) {
            found = Trim(line.substr(colon + 1));
            return false;
        }
        return true;
    });
    return found;
}

std::string_view CallIdOf(std::string_view head) { return HeaderValue(head, "Call-ID", "i"); }

std::vector<std::pair<std::string, std::string>> Headers(std::string_view head) {
    std::vector<std::pair<std::string, std::string>> out;
    bool first = true;
    ForEachLine(head, [&](std::string_view line) {
        if (first) return first = false, true;
        if (Trim(line).empty()) return true;
        // A line that starts with white space goes on the header before it.
        if (std::isspace(static_cast<unsigned char>(line.front())) && !out.empty()) {
            out.back().second += " ";
            out.back().second += Trim(line);
            return true;
        }
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) out.emplace_back(std::string(Trim(line)), std::string());
        else out.emplace_back(std::string(Trim(line.substr(0, colon))), std::string(Trim(line.substr(colon + 1))));
        return true;
    });
    return out;
}

std::string SentPeer(std::string_view head) {
    const std::string_view line = FirstLine(head);
    if (line.rfind("SIP/", 0) != 0) {
        // METHOD sip:user@host:port;params SIP/2.0
        const std::size_t a = line.find(' ');
        const std::size_t b = line.rfind(' ');
        if (a == std::string_view::npos || b <= a) return {};
        std::string_view uri = line.substr(a + 1, b - a - 1);
        const std::size_t scheme = uri.find(':');
        if (scheme == std::string_view::npos) return {};
        uri.remove_prefix(scheme + 1);
        const std::size_t at = uri.find('@');
        if (at != std::string_view::npos) uri.remove_prefix(at + 1);
        uri = uri.substr(0, uri.find_first_of(";?>"));
        return HostPort(uri, "5060");
    }
    const std::string_view via = HeaderValue(head, "Via", "v");
    if (via.empty()) return {};
    // "SIP/2.0/UDP host:port;branch=..;received=..;rport=.."
    const std::size_t sp = via.find(' ');
    if (sp == std::string_view::npos) return {};
    std::string_view rest = via.substr(sp + 1);
    const std::size_t semi = rest.find_first_of(";,");
    const std::string_view sentBy = rest.substr(0, semi);
    const std::string_view params = semi == std::string_view::npos ? std::string_view{} : rest.substr(semi);
    const std::string hp = HostPort(sentBy, "5060");
    const std::string_view received = Param(params, "received");
    const std::string_view rport = Param(params, "rport");
    const std::size_t colon = hp.rfind(':');
    const std::string host = received.empty() ? hp.substr(0, colon) : std::string(received);
    const std::string port = rport.empty() ? hp.substr(colon + 1) : std::string(rport);
    return host + ":" + port;
}

std::string HexDump(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() * 5);
    char buf[32];
    for (std::size_t at = 0; at < bytes.size(); at += 16) {
        std::snprintf(buf, sizeof buf, "%08zx  ", at);
        out += buf;
        for (std::size_t i = 0; i < 16; ++i) {
            if (at + i < bytes.size()) {
                std::snprintf(buf, sizeof buf, "%02x ", static_cast<unsigned char>(bytes[at + i]));
                out += buf;
            } else {
                out += "   ";
            }
            if (i == 7) out += ' ';
        }
        out += ' ';
        for (std::size_t i = 0; i < 16 && at + i < bytes.size(); ++i) {
            const unsigned char c = static_cast<unsigned char>(bytes[at + i]);
            out += c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '.';
        }
        out += '\n';
    }
    return out;
}

} // namespace tarvex::siptext

#include "check/battery/SipText.h"

#include <arpa/inet.h>

#include <cctype>
#include <charconv>

namespace tarvex::check {
namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Splits ";a=b;c" parameters into lower-case names and values without quotes.
void ReadParams(std::string_view s, std::map<std::string, std::string>& out) {
    std::size_t i = 0;
    while (i < s.size()) {
        const std::size_t semi = s.find(';', i);
        const std::string_view p = s.substr(i, semi == std::string_view::npos ? s.npos : semi - i);
        const std::size_t eq = p.find('=');
        std::string name = Lower(Trim(p.substr(0, eq)));
        std::string value = eq == std::string_view::npos ? "" : Trim(p.substr(eq + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        if (!name.empty()) out.emplace(std::move(name), std::move(value));
        if (semi == std::string_view::npos) break;
        i = semi + 1;
    }
}

} // namespace

std::string Trim(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b]))
        ++b;
    while (e > b && IsBlank(s[e - 1]))
        --e;
    return std::string(s.substr(b, e - b));
}

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool IsDigits(std::string_view s, std::size_t count) {
    if (s.size() != count) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

bool IsDeviceCode(std::string_view s) {
    return IsDigits(s, 20);
}

bool ParseLong(std::string_view s, long* out) {
    const std::string t = Trim(s);
    if (t.empty()) return false;
    long v = 0;
    const auto r = std::from_chars(t.data(), t.data() + t.size(), v);
    if (r.ec != std::errc() || r.ptr != t.data() + t.size()) return false;
    *out = v;
    return true;
}

bool IsIpv4(std::string_view s) {
    in_addr a{};
    return inet_pton(AF_INET, std::string(s).c_str(), &a) == 1;
}

SipAddress ParseSipUri(std::string_view uri) {
    SipAddress a;
    std::string u = Trim(uri);
    const std::size_t colon = u.find(':');
    if (colon == std::string::npos) return a;
    a.scheme = Lower(u.substr(0, colon));
    if (a.scheme != "sip" && a.scheme != "sips") return a;
    std::string rest = u.substr(colon + 1);
    rest = rest.substr(0, rest.find_first_of(";?")); // URI parameters and headers
    const std::size_t at = rest.rfind('@');
    std::string hostPort = rest;
    if (at != std::string::npos) {
        a.user = rest.substr(0, at);
        hostPort = rest.substr(at + 1);
    }
    const std::size_t pc = hostPort.rfind(':');
    if (pc != std::string::npos && hostPort.find(']') == std::string::npos) {
        long port = 0;
        if (!ParseLong(hostPort.substr(pc + 1), &port) || port <= 0 || port > 65535) return a;
        a.port = static_cast<int>(port);
        hostPort = hostPort.substr(0, pc);
    }
    a.host = hostPort;
    a.ok = !a.host.empty();
    return a;
}

SipAddress ParseSipAddress(std::string_view value) {
    const std::string v = Trim(value);
    const std::size_t lt = v.find('<');
    SipAddress a;
    std::string params;
    if (lt != std::string::npos) {
        const std::size_t gt = v.find('>', lt);
        if (gt == std::string::npos) return a;
        a = ParseSipUri(std::string_view(v).substr(lt + 1, gt - lt - 1));
        params = v.substr(gt + 1);
    } else {
        // Without angle brackets every ";" after the URI starts a header parameter.
        const std::size_t semi = v.find(';');
        a = ParseSipUri(std::string_view(v).substr(0, semi));
        if (semi != std::string::npos) params = v.substr(semi);
    }
    ReadParams(params, a.params);
    return a;
}

} // namespace tarvex::check

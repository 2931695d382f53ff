#include "check/battery/Observation.h"

#include "base/TextCodec.h"
#include "base/TimeText.h"
#include "check/battery/SipText.h"

#include <cstdio>
#include <ctime>

namespace tarvex::check {
namespace {

constexpr std::string_view kNoBody = "No Body!\n";

// RFC 3261 compact header names.
std::string_view LongName(std::string_view name) {
    if (name.size() != 1) return name;
    switch (std::tolower(static_cast<unsigned char>(name[0]))) {
    case 'i':
        return "Call-ID";
    case 'm':
        return "Contact";
    case 'e':
        return "Content-Encoding";
    case 'l':
        return "Content-Length";
    case 'c':
        return "Content-Type";
    case 'f':
        return "From";
    case 's':
        return "Subject";
    case 'k':
        return "Supported";
    case 't':
        return "To";
    case 'v':
        return "Via";
    default:
        return name;
    }
}

bool SameHeader(std::string_view a, std::string_view b) {
    return EqualsNoCase(LongName(a), LongName(b));
}

// Splits the head into lines at CR LF or LF, joining folded lines.
std::vector<std::string> HeadLines(std::string_view head) {
    std::vector<std::string> lines;
    std::size_t i = 0;
    while (i < head.size()) {
        std::size_t nl = head.find('\n', i);
        if (nl == std::string_view::npos) nl = head.size();
        std::string_view line = head.substr(i, nl - i);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        i = nl + 1;
        if (line.empty()) {
            if (!lines.empty()) break; // the empty line that ends the headers
            continue;
        }
        if ((line[0] == ' ' || line[0] == '\t') && !lines.empty())
            lines.back() += " " + Trim(line);
        else
            lines.emplace_back(line);
    }
    return lines;
}

// The document element of a parse: the declaration node and an unnamed top
// node (comments beside the element) are looked through.
XMLNode DocumentElement(const XMLNode& n) {
    if (n.IsEmpty()) return {};
    if (n.HasName() && !n.IsDeclaration()) return n;
    for (int i = 0; i < n.ChildCount(); ++i) {
        XMLNode c = n.ChildAt(i);
        if (c.IsDeclaration()) {
            if (XMLNode d = DocumentElement(c)) return d;
        } else if (c.HasName()) {
            return c;
        }
    }
    return {};
}

} // namespace

const std::string* SipHead::Find(std::string_view name) const {
    for (const auto& [n, v] : headers)
        if (SameHeader(n, name)) return &v;
    return nullptr;
}

std::string SipHead::Value(std::string_view name) const {
    const std::string* v = Find(name);
    return v ? *v : std::string();
}

std::vector<std::string> SipHead::All(std::string_view name) const {
    std::vector<std::string> out;
    for (const auto& [n, v] : headers)
        if (SameHeader(n, name)) out.push_back(v);
    return out;
}

SipHead ParseSipHead(std::string_view head) {
    SipHead h;
    const std::vector<std::string> lines = HeadLines(head);
    if (lines.empty()) return h;
    const std::string& start = lines[0];
    if (start.rfind("SIP/", 0) == 0) {
        const std::size_t sp = start.find(' ');
        long status = 0;
        if (sp != std::string::npos) {
            const std::size_t sp2 = start.find(' ', sp + 1);
            if (ParseLong(
                    start.substr(sp + 1, sp2 == std::string::npos ? start.npos : sp2 - sp - 1),
                    &status) &&
                status >= 100 && status <= 699) {
                h.valid = true;
                h.status = static_cast<int>(status);
                h.reason = sp2 == std::string::npos ? "" : Trim(start.substr(sp2 + 1));
            }
        }
    } else {
        const std::size_t sp = start.find(' ');
        const std::size_t sp2 = sp == std::string::npos ? sp : start.find(' ', sp + 1);
        if (sp2 != std::string::npos && start.compare(sp2 + 1, 4, "SIP/") == 0) {
            h.valid = true;
            h.isRequest = true;
            h.method = start.substr(0, sp);
            h.requestUri = start.substr(sp + 1, sp2 - sp - 1);
        }
    }
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::size_t colon = lines[i].find(':');
        if (colon == std::string::npos) continue;
        h.headers.emplace_back(Trim(std::string_view(lines[i]).substr(0, colon)),
                               Trim(std::string_view(lines[i]).substr(colon + 1)));
    }
    h.callId = h.Value("Call-ID");
    const std::string cseq = h.Value("CSeq");
    const std::size_t sp = cseq.find(' ');
    long n = 0;
    if (sp != std::string::npos && ParseLong(cseq.substr(0, sp), &n) && n >= 0) {
        h.cseq = n;
        h.cseqMethod = Trim(cseq.substr(sp + 1));
    }
    return h;
}

std::string ChildText(const XMLNode& node, const char* name, bool* has) {
    XMLNode c = node.ChildByName(name);
    if (has) *has = !c.IsEmpty();
    const char* t = c.IsEmpty() ? nullptr : c.Text(0);
    return t ? Trim(t) : std::string();
}

bool ManscdpBody::Is(std::string_view rootWanted, std::string_view cmd) const {
    return !root.IsEmpty() && EqualsNoCase(rootName, rootWanted) && cmdType == cmd;
}

ManscdpBody ParseManscdp(const std::string& body) {
    ManscdpBody m;
    std::size_t i = 0;
    if (body.compare(0, 3, "\xEF\xBB\xBF") == 0) i = 3;
    while (i < body.size() &&
           (body[i] == ' ' || body[i] == '\t' || body[i] == '\r' || body[i] == '\n'))
        ++i;
    if (i >= body.size() || body[i] != '<') return m;
    m.present = true;
    m.encoding = TextCodec::DeclaredEncoding(body);
    XMLNode top = XMLNode::Parse(body, &m.outcome);
    m.root = DocumentElement(top);
    if (m.root.IsEmpty()) return m;
    m.rootName = m.root.Name();
    m.cmdType = ChildText(m.root, "CmdType", &m.hasCmdType);
    m.sn = ChildText(m.root, "SN", &m.hasSn);
    m.deviceId = ChildText(m.root, "DeviceID", &m.hasDeviceId);
    return m;
}

bool ObservedMessage::IsRequest(std::string_view method) const {
    return sip.valid && sip.isRequest && sip.method == method;
}

bool ObservedMessage::Answers(const ObservedMessage& request) const {
    return IsResponse() && request.sip.isRequest && !sip.callId.empty() &&
           sip.callId == request.sip.callId && sip.cseq == request.sip.cseq &&
           sip.cseqMethod == request.sip.method;
}

ObservedMessage ObserveMessage(Direction dir, std::int64_t timeMs, std::string timeText,
                               std::string head, std::string body) {
    ObservedMessage m;
    m.direction = dir;
    m.timeMs = timeMs;
    m.timeText = std::move(timeText);
    m.head = std::move(head);
    m.body = body == kNoBody ? std::string() : std::move(body);
    m.sip = ParseSipHead(m.head);
    m.manscdp = ParseManscdp(m.body);
    return m;
}

ObservedMessage ObserveLogRow(int direction, std::string_view timeText, std::string_view head,
                              std::string_view body) {
    return ObserveMessage(direction == 1 ? Direction::Sent : Direction::Received,
                          ParseLocalTimeMs(timeText).value_or(0), std::string(timeText),
                          std::string(head), std::string(body));
}

std::optional<std::int64_t> ParseLocalTimeMs(std::string_view t) {
    // Exactly the log's own form: two digits everywhere after the year, then
    // optionally "." and the digits of the fraction.
    static constexpr std::string_view kForm = "dddd-dd-ddTdd:dd:dd";
    if (t.size() < kForm.size()) return std::nullopt;
    for (std::size_t i = 0; i < kForm.size(); ++i)
        if (kForm[i] == 'd' ? t[i] < '0' || t[i] > '9' : t[i] != kForm[i]) return std::nullopt;
    int ms = 0;
    if (t.size() > kForm.size()) {
        if (t[19] != '.' || t.size() < 21) return std::nullopt;
        int scale = 100;
        for (std::size_t i = 20; i < t.size(); ++i) {
            if (t[i] < '0' || t[i] > '9') return std::nullopt;
            ms += (t[i] - '0') * scale;
            scale /= 10;
        }
    }
    std::chrono::system_clock::time_point at;
    if (!ParseLocalTimeText(t.substr(0, kForm.size()), at)) return std::nullopt;
    return std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count() + ms;
}

std::string LocalTimeMsText(std::int64_t ms) {
    return LocalTimeTextMs(std::chrono::system_clock::time_point(std::chrono::milliseconds(ms)));
}

const char* MediaTransportName(int index) {
    switch (index) {
    case kMediaUdp:
        return "UDP";
    case kMediaTcpPassive:
        return "TCP passive";
    case kMediaTcpActive:
        return "TCP active";
    default:
        return "other";
    }
}

std::string Observation::DeviceId() const {
    if (!deviceId.empty()) return deviceId;
    for (const auto& m : messages)
        if (m.Received() && m.IsRequest("REGISTER"))
            return ParseSipAddress(m.sip.Value("From")).user;
    return {};
}

Observation OnlyDevice(const Observation& obs, const std::string& deviceId) {
    Observation out = obs;
    out.deviceId = deviceId;
    out.messages.clear();
    for (const auto& m : obs.messages)
        if (ParseSipAddress(m.sip.Value("From")).user == deviceId ||
            ParseSipAddress(m.sip.Value("To")).user == deviceId)
            out.messages.push_back(m);
    out.startMs = obs.Start();
    out.endMs = obs.End();
    return out;
}

std::int64_t Observation::Start() const {
    if (startMs != 0 || messages.empty()) return startMs;
    return messages.front().timeMs;
}

std::int64_t Observation::End() const {
    if (endMs != 0 || messages.empty()) return endMs;
    return messages.back().timeMs;
}

} // namespace tarvex::check

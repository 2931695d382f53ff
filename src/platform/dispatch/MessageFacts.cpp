#include "platform/dispatch/MessageFacts.h"

#include "manscdp/builder/CommandEntry.h"
#include "sip/auth/Digest.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

namespace {

bool HeaderIs(std::string_view line, std::string_view name, std::string_view compact) {
    auto colon = line.find(':');
    if (colon == std::string_view::npos) return false;
    std::string_view n = line.substr(0, colon);
    while (!n.empty() && (n.back() == ' ' || n.back() == '\t')) n.remove_suffix(1);
    using tarvex::sipauth::EqualsNoCase;
    return EqualsNoCase(n, name) || (!compact.empty() && EqualsNoCase(n, compact));
}

std::string_view ValueOf(std::string_view line) {
    std::string_view v = line.substr(line.find(':') + 1);
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\r' || v.back() == '\n')) v.remove_suffix(1);
    return v;
}

// The text of the first <name>...</name>, or "".
std::string ElementText(std::string_view body, std::string_view name) {
    const std::string open = "<" + std::string(name) + ">";
    auto a = body.find(open);
    if (a == std::string_view::npos) return {};
    a += open.size();
    auto b = body.find('<', a);
    if (b == std::string_view::npos) return {};
    std::string_view t = body.substr(a, b - a);
    while (!t.empty() && std::isspace(static_cast<unsigned char>(t.front()))) t.remove_prefix(1);
    while (!t.empty() && std::isspace(static_cast<unsigned char>(t.back()))) t.remove_suffix(1);
    return std::string(t);
}

} // namespace

HeadFacts ReadHead(std::string_view head) {
    HeadFacts f;
    std::size_t pos = 0;
    bool first = true;
    while (pos < head.size()) {
        std::size_t end = head.find('\n', pos);
        if (end == std::string_view::npos) end = head.size();
        std::string_view line = head.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        pos = end + 1;
        if (first) {
            first = false;
            if (line.starts_with("SIP/2.0 ")) {
                f.status = std::atoi(std::string(line.substr(8, 3)).c_str());
            } else {
                f.request = true;
                f.method = std::string(line.substr(0, line.find(' ')));
            }
            continue;
        }
        if (line.empty()) break;
        if (HeaderIs(line, "Call-ID", "i")) {
            f.callId = std::string(ValueOf(line));
        } else if (!f.request && HeaderIs(line, "CSeq", "")) {
            std::string_view v = ValueOf(line);
            auto sp = v.find(' ');
            if (sp != std::string_view::npos) f.method = std::string(v.substr(sp + 1));
        }
    }
    return f;
}

BodyFacts ReadBody(std::string_view body) {
    BodyFacts f;
    if (body.find("CmdType") == std::string_view::npos) return f;
    f.cmdType = ElementText(body, "CmdType");
    // The body's own DeviceID comes before its lists; an item's is not it.
    std::string_view top = body;
    for (const char* list : {"<DeviceList", "<RecordList", "<Item"})
        top = top.substr(0, std::min(top.size(), top.find(list)));
    f.deviceId = ElementText(top, "DeviceID");
    for (const char* root : {"Response", "Notify", "Query", "Control"}) {
        const std::string open = "<" + std::string(root);
        auto at = body.find(open);
        if (at != std::string_view::npos && at + open.size() < body.size() &&
            (body[at + open.size()] == '>' || std::isspace(static_cast<unsigned char>(body[at + open.size()])))) {
            f.root = root;
            break;
        }
    }
    return f;
}

std::string TypeTextOfCommand(const std::string& cmdType) {
    static const struct {
        const char* cmd;
        const char* text;
    } kOwn[] = {
        {"Keepalive", "心跳包"},     {"RecordInfo", "文件检索"}, {"MediaStatus", "媒体状态"},
        {"Alarm", "报警上报"},       {"Broadcast", "音频广播"},  {"MobilePosition", "移动位置"},
        {"DeviceControl", "设备控制"}, {"DeviceConfig", "设备配置"},
    };
    for (const auto& o : kOwn)
        if (cmdType == o.cmd) return o.text;
    for (const CommandEntry& e : SignallingTable())
        if (cmdType == e.command) return e.label;
    return cmdType;
}

std::string TypeTextOfReceived(const HeadFacts& head, const BodyFacts& body) {
    if (!body.cmdType.empty()) return TypeTextOfCommand(body.cmdType);
    if (head.request) return head.method == "REGISTER" ? "注册信息" : head.method;
    return std::to_string(head.status) + " " + head.method;
}

#include "sim/camera/Bodies.h"

#include "base/TextCodec.h"
#include "manscdp/xml/XMLNode.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace tvsim {

namespace {

XMLNode Envelope(const char* root, const char* cmd, const std::string& sn, const std::string& id) {
    XMLNode top = XMLNode::CreateTop(root);
    top.AddTextChild("CmdType", cmd);
    top.AddTextChild("SN", sn.c_str());
    top.AddTextChild("DeviceID", id.c_str());
    return top;
}

std::string Text(const XMLNode& top) {
    return "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n" + top.Serialize() + "\r\n";
}

void Num(XMLNode& list, std::size_t n) {
    list.AddAttribute("Num", std::to_string(n).c_str());
}

// Splits n items into messages of at most per (0: one message).
std::vector<std::pair<std::size_t, std::size_t>> Slices(std::size_t n, int per) {
    std::vector<std::pair<std::size_t, std::size_t>> out;
    std::size_t step = per > 0 ? static_cast<std::size_t>(per) : (n ? n : 1);
    for (std::size_t i = 0; i < n; i += step) out.emplace_back(i, std::min(n, i + step));
    if (out.empty()) out.emplace_back(0, 0);
    return out;
}

} // namespace

std::string EncodeBody(const std::string& utf8Xml) {
    return TextCodec::Utf8ToGbk(utf8Xml);
}

std::vector<std::string> CatalogAnswers(const DeviceIdentity& d, const std::string& sn,
                                        int perMessage, bool withNum) {
    std::vector<std::string> out;
    std::string port = std::to_string(d.sipPort);
    for (auto [from, to] : Slices(d.channels.size(), perMessage)) {
        XMLNode top = Envelope("Response", "Catalog", sn, d.id);
        top.AddTextChild("SumNum", std::to_string(d.channels.size()).c_str());
        XMLNode list = top.AddChild("DeviceList");
        if (withNum) Num(list, to - from);
        for (std::size_t i = from; i < to; ++i) {
            const Channel& c = d.channels[i];
            XMLNode it = list.AddChild("Item");
            it.AddTextChild("DeviceID", c.id.c_str());
            it.AddTextChild("Name", c.name.c_str());
            it.AddTextChild("Manufacturer", "Tarvex");
            it.AddTextChild("Model", "tarvex-camera");
            it.AddTextChild("Owner", "Owner");
            it.AddTextChild("CivilCode", d.domain.c_str());
            it.AddTextChild("Address", "模拟地址");
            it.AddTextChild("Parental", "0");
            it.AddTextChild("ParentID", d.id.c_str());
            it.AddTextChild("SafetyWay", "0");
            it.AddTextChild("RegisterWay", "1");
            it.AddTextChild("Secrecy", "0");
            it.AddTextChild("IPAddress", d.address.c_str());
            it.AddTextChild("Port", port.c_str());
            it.AddTextChild("Status", "ON");
        }
        out.push_back(Text(top));
    }
    return out;
}

std::string DeviceInfoAnswer(const DeviceIdentity& d, const std::string& sn) {
    XMLNode top = Envelope("Response", "DeviceInfo", sn, d.id);
    top.AddTextChild("DeviceName", d.name.c_str());
    top.AddTextChild("Result", "OK");
    top.AddTextChild("Manufacturer", "Tarvex");
    top.AddTextChild("Model", "tarvex-camera");
    top.AddTextChild("Firmware", "2.0");
    top.AddTextChild("Channel", std::to_string(d.channels.size()).c_str());
    return Text(top);
}

std::string DeviceStatusAnswer(const DeviceIdentity& d, const std::string& sn, bool guard) {
    XMLNode top = Envelope("Response", "DeviceStatus", sn, d.id);
    top.AddTextChild("Result", "OK");
    top.AddTextChild("Online", "ONLINE");
    top.AddTextChild("Status", "OK");
    top.AddTextChild("Encode", "ON");
    top.AddTextChild("Record", "OFF");
    top.AddTextChild("DeviceTime", LocalTime(static_cast<int64_t>(std::time(nullptr))).c_str());
    top.AddTextChild("GuardStatus", guard ? "ONDUTY" : "OFFDUTY");
    XMLNode alarms = top.AddChild("Alarmstatus");
    Num(alarms, 0);
    return Text(top);
}

std::vector<std::pair<int64_t, int64_t>> InventRecordings(int64_t start, int64_t end) {
    std::vector<std::pair<int64_t, int64_t>> out;
    if (start < 0 || end <= start) return out;
    for (int64_t t = start; t < end && out.size() < static_cast<std::size_t>(kMaxRecordings); t += 3600)
        out.emplace_back(t, std::min(end, t + 1800));
    return out;
}

std::vector<std::string> RecordInfoAnswers(const DeviceIdentity& d, const std::string& sn,
                                           const std::string& channelId, int64_t start,
                                           int64_t end, const std::string& type, int perMessage,
                                           bool badTimes) {
    auto recs = InventRecordings(start, end);
    std::vector<std::string> out;
    for (auto [from, to] : Slices(recs.size(), perMessage)) {
        XMLNode top = Envelope("Response", "RecordInfo", sn, channelId);
        top.AddTextChild("Name", d.name.c_str());
        top.AddTextChild("SumNum", std::to_string(recs.size()).c_str());
        XMLNode list = top.AddChild("RecordList");
        Num(list, to - from);
        for (std::size_t i = from; i < to; ++i) {
            XMLNode it = list.AddChild("Item");
            std::string s = LocalTime(recs[i].first), e = LocalTime(recs[i].second);
            std::string file = s.substr(0, 10) + "_" + s.substr(11, 2) + s.substr(14, 2) +
                               s.substr(17, 2) + ".ps";
            it.AddTextChild("DeviceID", channelId.c_str());
            it.AddTextChild("Name", d.name.c_str());
            it.AddTextChild("FilePath", file.c_str());
            it.AddTextChild("Address", "模拟地址");
            it.AddTextChild("StartTime", badTimes ? (s.substr(0, 10) + " " + s.substr(11)).c_str() : s.c_str());
            it.AddTextChild("EndTime", badTimes ? e.substr(0, 16).c_str() : e.c_str());
            it.AddTextChild("Secrecy", "0");
            it.AddTextChild("Type", type.empty() || type == "all" ? "time" : type.c_str());
            it.AddTextChild("RecorderID", d.id.c_str());
        }
        out.push_back(Text(top));
    }
    return out;
}

std::string ConfigDownloadAnswer(const DeviceIdentity& d, const std::string& sn,
                                 const std::string& configType) {
    XMLNode top = Envelope("Response", "ConfigDownload", sn, d.id);
    top.AddTextChild("Result", "OK");
    if (configType.find("BasicParam") != std::string::npos || configType.empty()) {
        XMLNode b = top.AddChild("BasicParam");
        b.AddTextChild("Name", d.name.c_str());
        b.AddTextChild("DeviceID", d.id.c_str());
        b.AddTextChild("SIPServerID", d.serverId.c_str());
        b.AddTextChild("SIPServerIP", d.serverAddress.c_str());
        b.AddIntChild("SIPServerPort", d.serverPort);
        b.AddTextChild("DomainName", d.domain.c_str());
        b.AddIntChild("Expiration", d.expires);
        b.AddTextChild("Password", d.password.c_str());
        b.AddIntChild("HeartBeatInterval", d.keepalive);
        b.AddIntChild("HeartBeatCount", 3);
    }
    if (configType.find("VideoParamOpt") != std::string::npos) {
        XMLNode v = top.AddChild("VideoParamOpt");
        v.AddTextChild("DownloadSpeed", "1/2/4/8");
        v.AddTextChild("Resolution", "5/6");
    }
    return Text(top);
}

std::string PresetAnswer(const DeviceIdentity& d, const std::string& sn) {
    XMLNode top = Envelope("Response", "PresetQuery", sn, d.id);
    XMLNode list = top.AddChild("PresetList");
    Num(list, 2);
    for (int i = 1; i <= 2; ++i) {
        XMLNode it = list.AddChild("Item");
        it.AddIntChild("PresetID", i);
        it.AddTextChild("PresetName", ("预置位" + std::to_string(i)).c_str());
    }
    return Text(top);
}

std::string ResultAnswer(const std::string& cmdType, const std::string& sn,
                         const std::string& deviceId, const char* result) {
    XMLNode top = Envelope("Response", cmdType.c_str(), sn, deviceId);
    top.AddTextChild("Result", result);
    return Text(top);
}

std::string KeepaliveNotify(const std::string& deviceId, int sn, const char* status) {
    XMLNode top = Envelope("Notify", "Keepalive", std::to_string(sn), deviceId);
    top.AddTextChild("Status", status);
    return Text(top);
}

std::string MediaStatusNotify(const std::string& deviceId, int sn) {
    XMLNode top = Envelope("Notify", "MediaStatus", std::to_string(sn), deviceId);
    top.AddTextChild("NotifyType", "121");
    return Text(top);
}

std::string OtherSn(const std::string& sn) {
    char* end = nullptr;
    long long v = std::strtoll(sn.c_str(), &end, 10);
    if (sn.empty() || *end || v < 0 || v > 1000000000000LL) return "1000";
    return std::to_string(v + 1000);
}

bool ContentLengthInCharacters(std::string& bytes) {
    const std::size_t headEnd = bytes.find("\r\n\r\n");
    if (headEnd == std::string::npos) return false;
    const std::size_t bodyAt = headEnd + 4;
    // GBK: a lead byte 0x81..0xFE and its trail byte are one character.
    std::size_t chars = 0;
    for (std::size_t i = bodyAt; i < bytes.size(); ++chars) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        i += b >= 0x81 && b <= 0xFE && i + 1 < bytes.size() ? 2 : 1;
    }
    if (chars == bytes.size() - bodyAt) return false;
    // The header line, long or compact form, at the start of a line.
    for (std::size_t line = 0; line < headEnd;) {
        std::size_t eol = bytes.find("\r\n", line);
        std::size_t colon = bytes.find(':', line);
        if (colon < eol) {
            std::string name = bytes.substr(line, colon - line);
            while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.pop_back();
            for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (name == "content-length" || name == "l") {
                bytes.replace(colon + 1, eol - colon - 1, " " + std::to_string(chars));
                return true;
            }
        }
        line = eol + 2;
    }
    return false;
}

int64_t ParseLocalTime(const std::string& text) {
    std::tm tm{};
    int n = std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d", &tm.tm_year, &tm.tm_mon,
                        &tm.tm_mday, &tm.tm_hour, &tm.tm_min, &tm.tm_sec);
    if (n != 6) return -1;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;
    return static_cast<int64_t>(std::mktime(&tm));
}

std::string LocalTime(int64_t seconds) {
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    return buf;
}

std::string DescribePtz(const std::string& hex) {
    if (hex.size() != 16) return "malformed code " + hex;
    unsigned b[8];
    for (int i = 0; i < 8; ++i) {
        if (std::sscanf(hex.c_str() + 2 * i, "%2x", &b[i]) != 1) return "malformed code " + hex;
    }
    unsigned sum = 0;
    for (int i = 0; i < 7; ++i) sum += b[i];
    std::string s;
    unsigned cmd = b[3];
    auto add = [&](const std::string& w) { s += (s.empty() ? "" : " ") + w; };
    if (b[0] != 0xA5) add("bad first byte");
    if (cmd >= 0x81 && cmd <= 0x83) {
        static const char* names[] = {"set preset", "go to preset", "delete preset"};
        add(std::string(names[cmd - 0x81]) + " " + std::to_string(b[5]));
    } else if ((cmd & 0xC0) == 0x40) {
        if (cmd & 0x01) add("focus far");
        if (cmd & 0x02) add("focus near");
        if (cmd & 0x04) add("iris open");
        if (cmd & 0x08) add("iris close");
        if (s.empty()) add("stop");
        add("speed " + std::to_string(b[4]));
    } else if (cmd & 0xC0) {
        add("command " + hex.substr(6, 2));
    } else {
        if (cmd & 0x08) add("up");
        if (cmd & 0x04) add("down");
        if (cmd & 0x02) add("left");
        if (cmd & 0x01) add("right");
        if (cmd & 0x10) add("zoom in");
        if (cmd & 0x20) add("zoom out");
        if (cmd == 0) add("stop");
        else add("speed " + std::to_string(cmd & 0x0F ? b[4] : (b[6] >> 4)));
    }
    if ((sum & 0xFF) != b[7]) add("(bad checksum)");
    return s;
}

} // namespace tvsim

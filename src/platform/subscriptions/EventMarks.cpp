#include "platform/subscriptions/EventMarks.h"

#include <cstdio>

namespace tvsub {
namespace {

// The trimmed text of the first <tag>…</tag> after from, npos-safe.
std::string_view ElementText(std::string_view body, std::string_view tag, std::size_t from = 0) {
    const std::string open = "<" + std::string(tag) + ">";
    const std::size_t a = body.find(open, from);
    if (a == std::string_view::npos) return {};
    const std::size_t b = body.find('<', a + open.size());
    if (b == std::string_view::npos) return {};
    std::string_view t = body.substr(a + open.size(), b - a - open.size());
    while (!t.empty() && (t.front() == ' ' || t.front() == '\r' || t.front() == '\n' || t.front() == '\t'))
        t.remove_prefix(1);
    while (!t.empty() && (t.back() == ' ' || t.back() == '\r' || t.back() == '\n' || t.back() == '\t'))
        t.remove_suffix(1);
    return t;
}

} // namespace

bool IsAlarmRow(int direction, std::string_view head, std::string_view body) {
    if (direction != 2) return false;
    if (head.rfind("MESSAGE ", 0) != 0 && head.rfind("NOTIFY ", 0) != 0) return false;
    const std::size_t root = body.find("<Notify>");
    return root != std::string_view::npos && ElementText(body, "CmdType", root) == "Alarm";
}

std::map<std::string, EventMark> EventMarks(const EventBook& book) {
    std::map<std::string, EventMark> marks;
    for (const AlarmRecord& a : book.Alarms()) {
        if (a.acknowledged) continue;
        ++marks[a.device].alarms;
        if (!a.channel.empty() && a.channel != a.device) ++marks[a.channel].alarms;
    }
    for (const std::string& c : book.Channels()) {
        const std::vector<PositionRecord> p = book.Positions(c);
        if (p.empty()) continue;
        char text[96];
        std::snprintf(text, sizeof text, "经度 %.6f, 纬度 %.6f", p.back().longitude, p.back().latitude);
        marks[c].lastPosition =
            text + (p.back().time.empty() ? std::string() : " (" + p.back().time + ")");
    }
    for (const std::string& c : book.PtzChannels()) {
        const std::vector<PtzRecord> p = book.PtzPositions(c);
        if (p.empty()) continue;
        marks[c].lastPtz = PtzText(p.back());
    }
    return marks;
}

std::string PtzText(const PtzRecord& p) {
    char text[96];
    std::snprintf(text, sizeof text, "Pan %.2f, Tilt %.2f, Zoom %.2f", p.pan, p.tilt, p.zoom);
    return text + (p.received.empty() ? std::string() : " (" + p.received + ")");
}

} // namespace tvsub

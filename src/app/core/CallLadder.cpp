#include "app/core/CallLadder.h"

#include "app/core/SipText.h"

#include <cstdlib>
#include <ctime>

namespace {

// The CmdType of an XML body, for the arrow's label.
std::string CmdTypeOf(const std::string& body) {
    const std::size_t a = body.find("<CmdType>");
    if (a == std::string::npos) return {};
    const std::size_t from = a + 9;
    const std::size_t b = body.find("</CmdType>", from);
    if (b == std::string::npos || b - from > 64) return {};
    return body.substr(from, b - from);
}

// Milliseconds of "%Y-%m-%dT%H:%M:%S.mmm" within its day's local clock; the
// offsets only need differences, so days are counted from the date's fields.
long long MsOf(const std::string& t) {
    if (t.size() < 23) return 0;
    std::tm tm{};
    tm.tm_year = std::atoi(t.substr(0, 4).c_str()) - 1900;
    tm.tm_mon = std::atoi(t.substr(5, 2).c_str()) - 1;
    tm.tm_mday = std::atoi(t.substr(8, 2).c_str());
    tm.tm_hour = std::atoi(t.substr(11, 2).c_str());
    tm.tm_min = std::atoi(t.substr(14, 2).c_str());
    tm.tm_sec = std::atoi(t.substr(17, 2).c_str());
    tm.tm_isdst = -1;
    return static_cast<long long>(std::mktime(&tm)) * 1000 + std::atoi(t.substr(20, 3).c_str());
}

} // namespace

CallLadder BuildCallLadder(const MessageLog& log, std::size_t row, std::size_t limit) {
    CallLadder out;
    MessageLog::RowText r;
    if (!log.Row(row, r)) return out;
    out.callId = std::string(tarvex::siptext::CallIdOf(r.head));
    if (out.callId.empty()) return out;
    // One more than the limit tells whether there were more.
    std::vector<std::size_t> rows = log.RowsOfCall(out.callId, limit + 1);
    if (rows.size() > limit) {
        out.truncated = true;
        rows.resize(limit);
    }
    long long first = 0;
    for (std::size_t i : rows) {
        MessageLog::RowText t;
        if (!log.Row(i, t)) continue;
        LadderStep s;
        s.logRow = i;
        s.direction = t.direction;
        s.time = t.ListTime();
        s.label = std::string(tarvex::siptext::Summary(t.head));
        const std::string cmd = CmdTypeOf(t.body);
        if (!cmd.empty() && tarvex::siptext::StatusOf(t.head) < 0) s.label += " " + cmd;
        s.cseq = std::string(tarvex::siptext::HeaderValue(t.head, "CSeq"));
        s.peer = t.peer;
        const long long ms = MsOf(t.time);
        if (out.steps.empty()) first = ms;
        s.offsetMs = ms - first;
        if (out.farEnd.empty()) out.farEnd = !t.deviceId.empty() ? t.deviceId : t.peer;
        if (i == row) out.selected = static_cast<int>(out.steps.size());
        out.steps.push_back(std::move(s));
    }
    return out;
}

#include "platform/subscriptions/EventCsv.h"

#include <cstdio>
#include <fstream>

namespace tvsub {

namespace {

constexpr const char* kBom = "\xEF\xBB\xBF";

std::string Field(const std::string& v) {
    if (v.find_first_of(",\"\r\n") == std::string::npos) return v;
    std::string out = "\"";
    for (char c : v) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string Line(const std::vector<std::string>& fields) {
    std::string out;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i) out += ',';
        out += Field(fields[i]);
    }
    return out + "\r\n";
}

std::string Number(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%.6f", v);
    return b;
}

bool Write(const std::filesystem::path& file, const std::string& text, std::string& error) {
    const std::filesystem::path tmp = file.string() + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out) {
            error = "cannot write " + tmp.string();
            return false;
        }
    }
    std::error_code ec;
    std::filesystem::rename(tmp, file, ec);
    if (ec) {
        error = "cannot rename " + tmp.string() + ": " + ec.message();
        std::filesystem::remove(tmp, ec);
        return false;
    }
    return true;
}

} // namespace

std::string AlarmsCsv(const std::vector<AlarmRecord>& alarms) {
    std::string out = kBom;
    out += Line({"时间", "设备", "通道", "级别", "方式", "类型", "描述", "经度", "纬度", "复位", "收到"});
    for (const auto& a : alarms)
        out += Line({a.time, a.device, a.channel, a.priority, a.method, a.type, a.description, a.longitude,
                     a.latitude, a.acknowledged ? "已复位" : "", a.received});
    return out;
}

std::string PositionsCsv(const std::map<std::string, std::vector<PositionRecord>>& tracks) {
    std::string out = kBom;
    out += Line({"通道", "时间", "经度", "纬度", "速度", "方向", "海拔", "收到"});
    for (const auto& [channel, track] : tracks)
        for (const auto& p : track)
            out += Line({channel, p.time, Number(p.longitude), Number(p.latitude), p.speed, p.direction, p.altitude,
                         p.received});
    return out;
}

bool WriteEventCsv(const std::filesystem::path& dir, const std::vector<AlarmRecord>& alarms,
                   const std::map<std::string, std::vector<PositionRecord>>& tracks, std::string& error) {
    return Write(dir / kAlarmsCsv, AlarmsCsv(alarms), error) &&
           Write(dir / kPositionsCsv, PositionsCsv(tracks), error);
}

} // namespace tvsub

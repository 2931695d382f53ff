#include "platform/subscriptions/EventBook.h"

#include "base/TextCodec.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace tvsub {

namespace {

// Kept as UTF-8: devices send GB2312 (GBK) bodies, some UTF-8 ones.
std::string TextOf(const XMLNode& e, const char* name) {
    const char* t = e.FindText(name);
    if (!t) return "";
    return TextCodec::IsValidUtf8(t) ? std::string(t) : TextCodec::GbkToUtf8(t);
}

bool ReadDouble(const std::string& text, double& out) {
    const char* b = text.data();
    while (*b == ' ') ++b;
    const char* end = text.data() + text.size();
    auto [p, ec] = std::from_chars(b, end, out);
    return ec == std::errc() && std::isfinite(out);
}

// Room for one more channel in a bounded map of tracks: the one heard from
// longest ago goes.
template <class Tracks> void MakeRoom(Tracks& tracks, const std::string& channel, std::size_t limit) {
    if (tracks.count(channel) || tracks.size() < limit) return;
    auto oldest = std::min_element(tracks.begin(), tracks.end(), [](const auto& a, const auto& b) {
        return a.second.lastUse < b.second.lastUse;
    });
    tracks.erase(oldest);
}

} // namespace

Applied EventBook::Apply(const std::string& device, const XMLNode& element,
                         const std::string& received) {
    const std::string cmd = TextOf(element, "CmdType");
    if (cmd == "Alarm") {
        AlarmRecord a;
        a.serial = ++serial_;
        a.received = received;
        a.device = device;
        a.channel = TextOf(element, "DeviceID");
        a.priority = TextOf(element, "AlarmPriority");
        a.method = TextOf(element, "AlarmMethod");
        // The type sits in Info (2016 and later); some devices put it at the top.
        XMLNode info = element.ChildByName("Info");
        a.type = info.IsEmpty() ? TextOf(element, "AlarmType") : TextOf(info, "AlarmType");
        a.time = TextOf(element, "AlarmTime");
        a.description = TextOf(element, "AlarmDescription");
        a.longitude = TextOf(element, "Longitude");
        a.latitude = TextOf(element, "Latitude");
        alarms_.push_back(std::move(a));
        while (alarms_.size() > kMaxAlarms) alarms_.pop_front();
        version_.fetch_add(1, std::memory_order_relaxed);
        return Applied::Alarm;
    }
    if (cmd == "MobilePosition") {
        PositionRecord p;
        if (!ReadDouble(TextOf(element, "Longitude"), p.longitude) ||
            !ReadDouble(TextOf(element, "Latitude"), p.latitude))
            return Applied::None;
        p.received = received;
        p.time = TextOf(element, "Time");
        p.speed = TextOf(element, "Speed");
        p.direction = TextOf(element, "Direction");
        p.altitude = TextOf(element, "Altitude");
        std::string channel = TextOf(element, "DeviceID");
        if (channel.empty()) channel = device;
        MakeRoom(tracks_, channel, kMaxChannels);
        Track& t = tracks_[channel];
        t.lastUse = ++positionsTaken_;
        t.points.push_back(std::move(p));
        while (t.points.size() > kMaxPositions) t.points.pop_front();
        version_.fetch_add(1, std::memory_order_relaxed);
        return Applied::Position;
    }
    if (cmd == "PTZPosition" && std::string(element.Name()) == "Notify") {
        PtzRecord p;
        if (!ReadDouble(TextOf(element, "Pan"), p.pan) || !ReadDouble(TextOf(element, "Tilt"), p.tilt) ||
            !ReadDouble(TextOf(element, "Zoom"), p.zoom))
            return Applied::None;
        p.received = received;
        std::string channel = TextOf(element, "DeviceID");
        if (channel.empty()) channel = device;
        MakeRoom(ptz_, channel, kMaxChannels);
        PtzTrack& t = ptz_[channel];
        t.lastUse = ++ptzTaken_;
        t.points.push_back(std::move(p));
        while (t.points.size() > kMaxPositions) t.points.pop_front();
        version_.fetch_add(1, std::memory_order_relaxed);
        return Applied::Ptz;
    }
    return Applied::None;
}

std::optional<AlarmRecord> EventBook::Alarm(std::uint64_t serial) const {
    for (const auto& a : alarms_)
        if (a.serial == serial) return a;
    return std::nullopt;
}

bool EventBook::Acknowledge(std::uint64_t serial) {
    for (auto& a : alarms_)
        if (a.serial == serial) {
            a.acknowledged = true;
            version_.fetch_add(1, std::memory_order_relaxed);
            return true;
        }
    return false;
}

std::vector<std::string> EventBook::Channels() const {
    std::vector<std::string> out;
    for (const auto& [c, t] : tracks_) out.push_back(c);
    return out;
}

std::vector<std::string> EventBook::PtzChannels() const {
    std::vector<std::string> out;
    for (const auto& [c, t] : ptz_) out.push_back(c);
    return out;
}

std::vector<PtzRecord> EventBook::PtzPositions(const std::string& channel) const {
    auto it = ptz_.find(channel);
    if (it == ptz_.end()) return {};
    return {it->second.points.begin(), it->second.points.end()};
}

std::vector<PositionRecord> EventBook::Positions(const std::string& channel) const {
    auto it = tracks_.find(channel);
    if (it == tracks_.end()) return {};
    return {it->second.points.begin(), it->second.points.end()};
}

} // namespace tvsub

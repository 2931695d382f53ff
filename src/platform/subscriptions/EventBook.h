#pragma once
// What devices' Alarm and MobilePosition notifications brought, whether in a
// subscription's NOTIFY or in a MESSAGE of their own: a list of the last
// kMaxAlarms alarms, and per channel its last kMaxPositions positions (of at
// most kMaxChannels channels; the channel heard from longest ago makes room).
// No locks: the core holds its own around every call; Version() may be read
// without it to see whether anything changed.

#include "manscdp/xml/XMLNode.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tvsub {

// Texts are UTF-8 whatever the body's encoding.
struct AlarmRecord {
    std::uint64_t serial = 0; // rises with every alarm taken
    std::string received;     // local time it came, "%Y-%m-%dT%H:%M:%S"
    std::string device;       // the registered device that sent it
    std::string channel;      // its DeviceID (the alarm's source)
    std::string priority, method, type, time, description, longitude, latitude;
    bool acknowledged = false;
};

struct PositionRecord {
    std::string received;
    std::string time; // the device's
    double longitude = 0, latitude = 0;
    std::string speed, direction, altitude;
};

// A channel's pan-tilt-zoom position from a PTZPosition Notify (2022): the
// fields of the PTZPosition query's answer, as the device wrote them.
struct PtzRecord {
    std::string received;
    double pan = 0, tilt = 0, zoom = 0;
};

enum class Applied { None, Alarm, Position, Ptz };

class EventBook {
public:
    static constexpr std::size_t kMaxAlarms = 1000;
    static constexpr std::size_t kMaxPositions = 600;
    static constexpr std::size_t kMaxChannels = 256;

    // element is a Notify body's document element from device (its sender);
    // only CmdType Alarm and MobilePosition (any root) and PTZPosition (a
    // Notify root only: the query's Response is not an event) are taken. A
    // position without a readable longitude and latitude is not, nor a PTZ
    // position without readable Pan, Tilt and Zoom.
    Applied Apply(const std::string& device, const XMLNode& element, const std::string& received);

    std::vector<AlarmRecord> Alarms() const { return {alarms_.begin(), alarms_.end()}; }
    std::optional<AlarmRecord> Alarm(std::uint64_t serial) const;
    bool Acknowledge(std::uint64_t serial);
    std::vector<std::string> Channels() const;
    std::vector<PositionRecord> Positions(const std::string& channel) const;
    std::size_t AlarmCount() const { return alarms_.size(); }
    // Every alarm taken, also those the bound has dropped since.
    std::uint64_t AlarmsTaken() const { return serial_; }
    std::uint64_t PositionsTaken() const { return positionsTaken_; }
    // PTZ positions, kept as the positions are: kMaxPositions per channel, of
    // at most kMaxChannels channels.
    std::vector<std::string> PtzChannels() const;
    std::vector<PtzRecord> PtzPositions(const std::string& channel) const;
    std::uint64_t PtzTaken() const { return ptzTaken_; }
    std::uint64_t Version() const { return version_.load(std::memory_order_relaxed); }

private:
    struct Track {
        std::deque<PositionRecord> points;
        std::uint64_t lastUse = 0;
    };
    std::deque<AlarmRecord> alarms_;
    std::map<std::string, Track> tracks_;
    struct PtzTrack {
        std::deque<PtzRecord> points;
        std::uint64_t lastUse = 0;
    };
    std::map<std::string, PtzTrack> ptz_;
    std::uint64_t serial_ = 0, positionsTaken_ = 0, ptzTaken_ = 0;
    std::atomic<std::uint64_t> version_{0};
};

} // namespace tvsub

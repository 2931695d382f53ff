#pragma once
// What the window marks of the events: the message log rows that carry an
// alarm (drawn in their own colour), and per device or channel identifier the
// alarms not yet acknowledged (a badge in the tree) and the last position
// and PTZ position (in the channel's tooltip). No Qt, no locks.

#include "platform/subscriptions/EventBook.h"

#include <map>
#include <string>
#include <string_view>

namespace tvsub {

// A received row whose body is a Notify with CmdType Alarm (in a MESSAGE or a
// NOTIFY). Reads only the ASCII tags, so any body encoding will do.
bool IsAlarmRow(int direction, std::string_view head, std::string_view body);

struct EventMark {
    int alarms = 0;           // not acknowledged
    std::string lastPosition; // "经度 116.397000, 纬度 39.909000 (time)", "" without one
    std::string lastPtz;      // "Pan 120.50, Tilt -15.00, Zoom 4.00 (received)", "" without one
};
// By identifier: an alarm counts for its device and for its source channel.
std::map<std::string, EventMark> EventMarks(const EventBook& book);
// "Pan 120.50, Tilt -15.00, Zoom 4.00 (received)".
std::string PtzText(const PtzRecord& p);

} // namespace tvsub

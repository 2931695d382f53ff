#pragma once
// The one module for the system's time texts: local time as "%Y-%m-%dT%H:%M:%S"
// (the REGISTER answer's Date, configuration and search bodies), the same with
// "." and three digits of milliseconds (the message log), and the reading of
// such a text. Clocks are injectable so that tests fix the time.

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

using WallClock = std::function<std::chrono::system_clock::time_point()>;
// Monotonic time of the timers a component owns (follow-up queries).
using SteadyClock = std::function<std::chrono::steady_clock::time_point()>;

// The system clock; an empty WallClock means this one.
std::chrono::system_clock::time_point SystemNow();
std::chrono::system_clock::time_point Now(const WallClock& clock);
std::chrono::steady_clock::time_point Now(const SteadyClock& clock);

// "%Y-%m-%dT%H:%M:%S" on local time.
std::string LocalTimeText(std::chrono::system_clock::time_point t);
// The same followed by "." and three digits of milliseconds.
std::string LocalTimeTextMs(std::chrono::system_clock::time_point t);
// Writes LocalTimeTextMs into buf (at least 24 bytes) without allocating; its length.
std::size_t LocalTimeTextMs(std::chrono::system_clock::time_point t, char* buf, std::size_t size);

// How a local time text meets daylight saving: the zone decides, or standard
// time throughout (the recording search and recording lengths read it so, which
// keeps a length across a change of clocks the plain difference of the texts).
enum class DaylightSaving { ZoneDecides, Off };

// The years a time text may name.
inline constexpr int kMinTextYear = 1900;
inline constexpr int kMaxTextYear = 2200;

// Reads "YYYY-MM-DDTHH:MM:SS" (the six numbers, one or two digits each after the
// year; anything after the seconds is ignored) as local time. False when the six
// numbers are not all there or the year is outside kMinTextYear..kMaxTextYear.
bool ParseLocalTimeText(std::string_view text, std::chrono::system_clock::time_point& out,
                        DaylightSaving dst = DaylightSaving::ZoneDecides);

#pragma once
// Local time texts of the configuration and search bodies, with a clock that
// tests replace.

#include <chrono>
#include <functional>
#include <string>

using WallClock = std::function<std::chrono::system_clock::time_point()>;

// The system clock; an empty WallClock means this one.
std::chrono::system_clock::time_point SystemNow();
std::chrono::system_clock::time_point Now(const WallClock& clock);

// "%Y-%m-%dT%H:%M:%S" on local time.
std::string LocalTimeText(std::chrono::system_clock::time_point t);
// The same followed by "." and three digits of milliseconds.
std::string LocalTimeTextMs(std::chrono::system_clock::time_point t);

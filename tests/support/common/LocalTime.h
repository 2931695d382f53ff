// Wall-clock instants for tests that inject a clock.
#pragma once

#include <chrono>
#include <ctime>

namespace testsupport {

// The instant of a local wall-clock time, whatever the machine's zone
// (mktime decides daylight saving itself).
inline std::chrono::system_clock::time_point Local(int y, int mo, int d, int h, int mi, int s,
                                                   int ms = 0) {
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    tm.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&tm)) + std::chrono::milliseconds(ms);
}

} // namespace testsupport

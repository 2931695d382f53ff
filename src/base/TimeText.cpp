#include "base/TimeText.h"

#include <cstdio>
#include <ctime>

std::chrono::system_clock::time_point SystemNow() {
    return std::chrono::system_clock::now();
}

std::chrono::system_clock::time_point Now(const WallClock& clock) {
    return clock ? clock() : SystemNow();
}

std::chrono::steady_clock::time_point Now(const SteadyClock& clock) {
    return clock ? clock() : std::chrono::steady_clock::now();
}

namespace {

// Whole seconds and the milliseconds within them, also before 1970.
void Split(std::chrono::system_clock::time_point t, std::time_t& secs, int& ms) {
    using namespace std::chrono;
    const auto s = floor<seconds>(t);
    secs = system_clock::to_time_t(s);
    ms = static_cast<int>(duration_cast<milliseconds>(t - s).count());
}

} // namespace

std::string LocalTimeText(std::chrono::system_clock::time_point t) {
    std::time_t secs = 0;
    int ms = 0;
    Split(t, secs, ms);
    std::tm tm{};
    if (!localtime_r(&secs, &tm)) return {};
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    return buf;
}

std::size_t LocalTimeTextMs(std::chrono::system_clock::time_point t, char* buf, std::size_t size) {
    std::time_t secs = 0;
    int ms = 0;
    Split(t, secs, ms);
    std::tm tm{};
    if (size == 0 || !localtime_r(&secs, &tm)) return 0;
    std::size_t n = std::strftime(buf, size, "%Y-%m-%dT%H:%M:%S", &tm);
    if (n == 0) return 0;
    const int m = std::snprintf(buf + n, size - n, ".%03d", ms);
    return m > 0 && static_cast<std::size_t>(m) < size - n ? n + static_cast<std::size_t>(m) : n;
}

std::string LocalTimeTextMs(std::chrono::system_clock::time_point t) {
    char buf[80];
    return std::string(buf, LocalTimeTextMs(t, buf, sizeof buf));
}

bool ParseLocalTimeText(std::string_view text, std::chrono::system_clock::time_point& out,
                        DaylightSaving dst) {
    const std::string s(text.substr(0, 64));
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0;
    if (std::sscanf(s.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d", &y, &mo, &d, &h, &mi, &sec) != 6)
        return false;
    // system_clock counts nanoseconds in 64 bits (years 1677..2262): a year
    // outside these bounds, even after mktime carries two-digit months, days
    // and hours into it, would overflow from_time_t.
    if (y < kMinTextYear || y > kMaxTextYear) return false;
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = sec;
    tm.tm_isdst = dst == DaylightSaving::Off ? 0 : -1;
    // mktime leaves tm_wday alone on failure; -1 is also the valid 1969-12-31T23:59:59 UTC.
    tm.tm_wday = -1;
    const std::time_t t = std::mktime(&tm);
    if (tm.tm_wday < 0) return false;
    out = std::chrono::system_clock::from_time_t(t);
    return true;
}

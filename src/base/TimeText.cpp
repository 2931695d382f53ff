#include "base/TimeText.h"

#include <cstdio>
#include <ctime>

std::chrono::system_clock::time_point SystemNow() {
    return std::chrono::system_clock::now();
}

std::chrono::system_clock::time_point Now(const WallClock& clock) {
    return clock ? clock() : SystemNow();
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

std::string LocalTimeTextMs(std::chrono::system_clock::time_point t) {
    std::time_t secs = 0;
    int ms = 0;
    Split(t, secs, ms);
    char buf[80];
    std::snprintf(buf, sizeof buf, "%s.%03d", LocalTimeText(t).c_str(), ms);
    return buf;
}

// The interval between key pictures, by the device's own RTP timestamps
// (90 kHz), in every stream the check received: a viewer who joins, or a
// decoder that lost a packet, waits up to one interval for a picture. Longer
// than kKeyIntervalLimitS is a warning. The shortest interval is reported but
// not judged: a device may send a key picture at once for a new viewer or a
// resumed playback.
#include "check/battery/Exchange.h"
#include "check/battery/checks/MediaAttempt.h"

#include <algorithm>
#include <cstdio>

namespace tarvex::check {
namespace {

constexpr double kKeyIntervalLimitS = 4.0;
constexpr double kTicksPerSecond = 90000.0;

std::string Secs(std::uint32_t ticks) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f s", ticks / kTicksPerSecond);
    return buf;
}

std::string Limit() {
    char buf[48];
    std::snprintf(buf, sizeof buf, ", limit %.1f s", kKeyIntervalLimitS);
    return buf;
}

} // namespace

CheckResult CheckKeyInterval(const Observation& obs) {
    const auto limit = static_cast<std::uint32_t>(kKeyIntervalLimitS * kTicksPerSecond);
    std::uint64_t intervals = 0, keys = 0;
    std::uint32_t shortest = 0, longest = 0, longestOpen = 0;
    int streams = 0;
    CheckResult pass = CheckResult::Make(Verdict::Pass, {});
    for (const MediaObservation& m : obs.media) {
        if (!m.keyPictures || m.keyPictures->keys == 0) continue;
        const KeyPictures& k = *m.keyPictures;
        const std::string what = m.kind + " over " + MediaTransportName(m.transport) + ": ";
        std::string problem;
        if (k.intervals > 0 && k.longestTicks > limit)
            problem = what + "key pictures " + Secs(k.longestTicks) + " apart (the longest of " +
                      Counted(k.intervals, "interval", "intervals") + ")" + Limit();
        else if (k.sinceLastKeyTicks && *k.sinceLastKeyTicks > limit)
            problem = what + "no key picture for " + Secs(*k.sinceLastKeyTicks) +
                      " after the last one" + Limit();
        if (!problem.empty()) {
            CheckResult r = CheckResult::Make(Verdict::Fail, problem);
            r.Measure("key_interval_longest_s",
                      std::max(k.longestTicks, k.sinceLastKeyTicks.value_or(0)) /
                          kTicksPerSecond,
                      "s");
            CiteCall(r, obs, m);
            return r;
        }
        keys += k.keys;
        ++streams;
        if (k.sinceLastKeyTicks) longestOpen = std::max(longestOpen, *k.sinceLastKeyTicks);
        if (k.intervals == 0) continue;
        shortest = intervals == 0 ? k.shortestTicks : std::min(shortest, k.shortestTicks);
        longest = std::max(longest, k.longestTicks);
        intervals += k.intervals;
        CiteCall(pass, obs, m);
    }
    if (streams == 0) return CheckResult::Make(Verdict::NotRun, "no key picture was received");
    if (intervals == 0)
        return CheckResult::Make(Verdict::NotRun,
                                 "no stream brought two key pictures (" +
                                     Counted(keys, "key picture", "key pictures") + " over " +
                                     Counted(static_cast<std::uint64_t>(streams), "stream",
                                             "streams") +
                                     "; the longest run after one " + Secs(longestOpen) + ")");
    pass.reason = "key pictures at most " + Secs(longest) + " apart (shortest " +
                  Secs(shortest) + ", " + Counted(intervals, "interval", "intervals") + " over " +
                  Counted(static_cast<std::uint64_t>(streams), "stream", "streams") + ")" +
                  Limit();
    pass.Measure("key_interval_longest_s", longest / kTicksPerSecond, "s");
    pass.Measure("key_interval_shortest_s", shortest / kTicksPerSecond, "s");
    return pass;
}

} // namespace tarvex::check

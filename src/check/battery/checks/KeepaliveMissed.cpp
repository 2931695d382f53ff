// Missed keepalives: every keepalive due (one interval after the previous one,
// or after the REGISTER) arrives within the tolerance; after the configured
// number missed in a row the device counts as offline, and the reason says when.
#include "check/battery/Exchange.h"
#include "check/battery/checks/Keepalive.h"

#include <algorithm>

namespace tarvex::check {

CheckResult CheckKeepaliveMissed(const Observation& obs) {
    const KeepalivePlan p = PlanKeepalives(obs);
    if (p.startMessage < 0)
        return CheckResult::Make(Verdict::NotRun, "no REGISTER and no keepalive observed");
    if (p.endMs - p.startMs <= p.intervalMs + p.toleranceMs && p.keepalives.empty())
        return CheckResult::Make(Verdict::NotRun, "observed " + Seconds(p.endMs - p.startMs) +
                                                      ", less than one keepalive interval of " +
                                                      Seconds(p.intervalMs));
    std::int64_t missed = 0, longest = 0, offlineAt = -1, backAt = -1;
    int silenceFrom = p.startMessage, silenceTo = -1;
    std::int64_t prev = p.startMs;
    int prevMessage = p.startMessage;
    const auto gap = [&](std::int64_t next, int nextMessage) {
        const std::int64_t n = MissedBetween(p, prev, next);
        missed += n;
        if (n >= p.misses && offlineAt < 0)
            offlineAt = prev + p.misses * p.intervalMs + p.toleranceMs;
        if (offlineAt >= 0 && backAt < 0 && nextMessage >= 0) backAt = next;
        if (next - prev > longest) {
            longest = next - prev;
            silenceFrom = prevMessage;
            silenceTo = nextMessage;
        }
        prev = next;
        prevMessage = nextMessage;
    };
    // Keepalives and later REGISTERs in the order they came: while the
    // device is unregistered nothing is due, and its registration again is
    // its sign of life (a refresh while registered is none).
    std::vector<std::pair<int, int>> events; // message, 0 keepalive, 1 register, 2 unregister
    for (int k : p.keepalives) events.emplace_back(k, 0);
    for (const auto& [m, ends] : p.registers) events.emplace_back(m, ends ? 2 : 1);
    std::sort(events.begin(), events.end());
    bool away = false;
    for (const auto& [m, kind] : events) {
        const std::int64_t at = obs.messages[static_cast<std::size_t>(m)].timeMs;
        if (away) {
            if (kind == 1) { // registered again: the count starts from here
                prev = at;
                prevMessage = m;
                away = false;
            }
            continue;
        }
        if (kind == 1) continue;
        gap(at, m);
        away = kind == 2;
    }
    if (!away) gap(p.endMs, -1);

    CheckResult r;
    if (missed == 0) {
        r = CheckResult::Make(Verdict::Pass, "no keepalive missed in " +
                                                 Seconds(p.endMs - p.startMs) + " (interval " +
                                                 Seconds(p.intervalMs) + ")");
    } else if (offlineAt >= 0) {
        r = CheckResult::Make(
            Verdict::Fail,
            std::to_string(p.misses) + " keepalives missed in a row: offline from " +
                LocalTimeMsText(offlineAt) +
                (backAt >= 0 ? ", back at " + LocalTimeMsText(backAt) : std::string()));
        r.Note("offline", "the device counts as offline from " + LocalTimeMsText(offlineAt) + " (" +
                              std::to_string(p.misses) + " × " + Seconds(p.intervalMs) + " + " +
                              Seconds(p.toleranceMs) + " after the last sign of life)");
    } else {
        r = CheckResult::Make(
            Verdict::Fail, Counted(static_cast<std::uint64_t>(missed), "keepalive", "keepalives") +
                               " missed, longest silence " + Seconds(longest) + " (interval " +
                               Seconds(p.intervalMs) + ")");
    }
    r.Measure("missed", static_cast<double>(missed))
        .Measure("longest_silence_s", static_cast<double>(longest) / 1000.0, "s")
        .Measure("offline", offlineAt >= 0 ? 1 : 0);
    r.Cite(silenceFrom, "last sign of life before the longest silence");
    if (silenceTo >= 0)
        r.Cite(silenceTo, "first keepalive after it");
    else
        r.Note("end of observation", LocalTimeMsText(p.endMs));
    return r;
}

} // namespace tarvex::check

// Keepalive interval: the device's keepalives come at the configured interval
// (the median spacing within a tenth of it, at least 1 s either way).
#include "check/battery/Exchange.h"
#include "check/battery/checks/Keepalive.h"

#include <algorithm>
#include <cstdlib>

namespace tarvex::check {

CheckResult CheckKeepaliveInterval(const Observation& obs) {
    const KeepalivePlan p = PlanKeepalives(obs);
    const std::string expected = Seconds(p.intervalMs) + " (" + p.source + ")";
    if (p.startMessage < 0)
        return CheckResult::Make(Verdict::NotRun, "no REGISTER and no keepalive observed");
    if (p.keepalives.size() < 2) {
        const std::int64_t span = p.endMs - p.startMs;
        if (span < 2 * p.intervalMs + p.toleranceMs)
            return CheckResult::Make(Verdict::NotRun,
                                     "observed " + Seconds(span) +
                                         ", less than two keepalive intervals of " + expected);
        CheckResult r = CheckResult::Make(
            Verdict::Fail, Counted(p.keepalives.size(), "keepalive", "keepalives") + " in " +
                               Seconds(span) + ", expected one every " + expected);
        r.Cite(p.startMessage, "start of the observation");
        for (int k : p.keepalives)
            r.Cite(k, "keepalive");
        return r.Measure("keepalives", static_cast<double>(p.keepalives.size()));
    }
    std::vector<std::int64_t> gaps;
    for (std::size_t i = 1; i < p.keepalives.size(); ++i) {
        // Not across an unregistration: nothing was due while it lasted.
        const int a = p.keepalives[i - 1], b = p.keepalives[i];
        if (std::any_of(p.registers.begin(), p.registers.end(),
                        [&](const auto& r) { return r.second && r.first > a && r.first < b; }))
            continue;
        gaps.push_back(obs.messages[static_cast<std::size_t>(b)].timeMs -
                       obs.messages[static_cast<std::size_t>(a)].timeMs);
    }
    if (gaps.empty())
        return CheckResult::Make(Verdict::NotRun, "no two keepalives within one registration");
    std::vector<std::int64_t> sorted = gaps;
    std::sort(sorted.begin(), sorted.end());
    const std::int64_t median = sorted[sorted.size() / 2];
    const bool ok = std::llabs(median - p.intervalMs) <= p.toleranceMs;
    CheckResult r =
        CheckResult::Make(ok ? Verdict::Pass : Verdict::Fail,
                          "keepalives every " + Seconds(median) + " (median of " +
                              std::to_string(gaps.size()) + " intervals), expected " + expected);
    r.Measure("interval_median_s", static_cast<double>(median) / 1000.0, "s")
        .Measure("interval_min_s", static_cast<double>(sorted.front()) / 1000.0, "s")
        .Measure("interval_max_s", static_cast<double>(sorted.back()) / 1000.0, "s")
        .Measure("expected_interval_s", static_cast<double>(p.intervalMs) / 1000.0, "s")
        .Measure("keepalives", static_cast<double>(p.keepalives.size()));
    if (p.sourceMessage >= 0) r.Cite(p.sourceMessage, "the device's configuration");
    for (int k : p.keepalives)
        r.Cite(k, "keepalive");
    return r;
}

} // namespace tarvex::check

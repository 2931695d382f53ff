// 200 OK to our MESSAGEs in time: every MESSAGE Tarvex sent gets a 2xx from the
// device within the limit (1 s unless configured otherwise). A 405 or 501 in time
// declines an optional feature: the feature's own check judges it, not this one.
#include "check/battery/Exchange.h"

#include <algorithm>

namespace tarvex::check {

CheckResult CheckMessageAnswerTime(const Observation& obs) {
    const std::int64_t limit = obs.settings.messageAnswerLimitMs;
    const std::vector<int> sent =
        Select(obs, [](const ObservedMessage& m) { return m.Sent() && m.IsRequest("MESSAGE"); });
    if (sent.empty()) return CheckResult::Make(Verdict::NotRun, "Tarvex sent no MESSAGE");
    std::int64_t slowest = 0;
    std::size_t declinedCount = 0;
    int slowestAt = -1, slowestAnswer = -1;
    for (int i : sent) {
        const ObservedMessage& q = obs.messages[static_cast<std::size_t>(i)];
        const int a = FinalResponseTo(obs, i);
        if (a < 0)
            return CheckResult::Make(Verdict::Fail,
                                     Describe(q) + " at " + q.timeText + " got no final answer")
                .Cite(i, Describe(q));
        const ObservedMessage& ans = obs.messages[static_cast<std::size_t>(a)];
        const std::int64_t delay = ans.timeMs - q.timeMs;
        const bool declined = ans.sip.status == 405 || ans.sip.status == 501;
        if (ans.sip.status >= 300 && !declined)
            return CheckResult::Make(Verdict::Fail, Describe(q) + " at " + q.timeText +
                                                        " answered " + Describe(ans))
                .Cite(i, Describe(q))
                .Cite(a, "answer");
        if (declined) ++declinedCount;
        if (delay > limit)
            return CheckResult::Make(Verdict::Fail, Describe(q) + " at " + q.timeText +
                                                        " answered after " + std::to_string(delay) +
                                                        " ms, limit " + std::to_string(limit) +
                                                        " ms")
                .Measure("delay_ms", static_cast<double>(delay), "ms")
                .Cite(i, Describe(q))
                .Cite(a, "answer");
        if (delay >= slowest) {
            slowest = delay;
            slowestAt = i;
            slowestAnswer = a;
        }
    }
    const std::string how =
        declinedCount == 0 ? " answered 2xx"
                           : " answered in time (" + std::to_string(declinedCount) +
                                 " declined with 405 or 501)";
    return CheckResult::Make(Verdict::Pass, Counted(sent.size(), "MESSAGE", "MESSAGEs") + how +
                                                ", slowest after " +
                                                std::to_string(slowest) + " ms (limit " +
                                                std::to_string(limit) + " ms)")
        .Measure("slowest_ms", static_cast<double>(slowest), "ms")
        .Cite(slowestAt, "slowest answered MESSAGE")
        .Cite(slowestAnswer, "its answer");
}

} // namespace tarvex::check

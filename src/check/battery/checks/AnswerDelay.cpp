// Query answers in time: the first Response to every query arrives within the
// limit (3 s unless configured otherwise) after the query left.
#include "check/battery/Exchange.h"
#include "check/battery/SipText.h"

namespace tarvex::check {

CheckResult CheckAnswerDelay(const Observation& obs) {
    const std::int64_t limit = obs.settings.queryAnswerLimitMs;
    std::int64_t slowest = -1;
    int slowestQuery = -1, slowestAnswer = -1;
    std::size_t answered = 0;
    for (const QueryAnswers& qa : PairAnswers(obs).requests) {
        const ObservedMessage& q = obs.messages[static_cast<std::size_t>(qa.request)];
        if (qa.answers.empty() || !EqualsNoCase(q.manscdp.rootName, "Query")) continue;
        ++answered;
        const std::int64_t delay =
            obs.messages[static_cast<std::size_t>(qa.answers.front())].timeMs - q.timeMs;
        if (delay > slowest) {
            slowest = delay;
            slowestQuery = qa.request;
            slowestAnswer = qa.answers.front();
        }
    }
    if (answered == 0) return CheckResult::Make(Verdict::NotRun, "no query was answered");
    const std::string& cmd = obs.messages[static_cast<std::size_t>(slowestQuery)].manscdp.cmdType;
    CheckResult r = CheckResult::Make(
        slowest <= limit ? Verdict::Pass : Verdict::Fail,
        slowest <= limit
            ? Counted(answered, "query", "queries") + " answered, slowest (" + cmd + ") after " +
                  std::to_string(slowest) + " ms (limit " + std::to_string(limit) + " ms)"
            : cmd + " answered after " + std::to_string(slowest) + " ms, limit " +
                  std::to_string(limit) + " ms");
    return r.Measure("slowest_ms", static_cast<double>(slowest), "ms")
        .Cite(slowestQuery, "slowest query")
        .Cite(slowestAnswer, "its first answer");
}

} // namespace tarvex::check

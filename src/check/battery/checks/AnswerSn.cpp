// Answer SN equals the query's: every Response MESSAGE carries the SN of the
// query or command it answers, and none answers a query that was never sent.
#include "check/battery/Exchange.h"
#include "check/battery/SipText.h"

namespace tarvex::check {

CheckResult CheckAnswerSn(const Observation& obs) {
    const Pairing p = PairAnswers(obs);
    std::size_t answers = 0;
    for (const QueryAnswers& qa : p.requests) {
        answers += qa.answers.size();
        if (qa.snMatches) continue;
        const ManscdpBody& q = obs.messages[static_cast<std::size_t>(qa.request)].manscdp;
        const ManscdpBody& a = obs.messages[static_cast<std::size_t>(qa.answers.front())].manscdp;
        return CheckResult::Make(Verdict::Fail, q.cmdType + " answer carries SN " + a.sn +
                                                    ", the query's SN is " + q.sn)
            .Cite(qa.request, "query")
            .Cite(qa.answers.front(), "answer");
    }
    if (!p.orphans.empty()) {
        const ManscdpBody& a = obs.messages[static_cast<std::size_t>(p.orphans.front())].manscdp;
        return CheckResult::Make(Verdict::Fail, a.cmdType + " Response with SN " + a.sn +
                                                    " answers no query sent before it")
            .Cite(p.orphans.front(), "answer");
    }
    if (answers == 0) return CheckResult::Make(Verdict::NotRun, "no query was answered");
    return CheckResult::Make(Verdict::Pass,
                             Counted(answers, "answer", "answers") + ", each with its query's SN")
        .Measure("answers", static_cast<double>(answers));
}

} // namespace tarvex::check

// Catalog answered, Num and SumNum consistent: every Catalog query is answered,
// in one MESSAGE or several with the query's SN; each DeviceList carries a Num
// equal to its items, SumNum is the same in every message and equals the items
// of all of them, and no channel is listed twice.
#include "check/battery/Exchange.h"
#include "check/battery/SipText.h"

#include <set>

namespace tarvex::check {

CheckResult CheckCatalogAnswer(const Observation& obs) {
    const std::vector<QueryAnswers> queries = AnswersOf(obs, "Query", "Catalog");
    if (queries.empty()) return CheckResult::Make(Verdict::NotRun, "Tarvex sent no Catalog query");
    CheckResult pass = CheckResult::Make(Verdict::Pass, {});
    for (const QueryAnswers& qa : queries) {
        if (auto r = UnansweredQuery(obs, qa, "Catalog")) return *r;
        const AnswerList list = ReadAnswerList(obs, qa.answers, "DeviceList");
        std::string problem = list.problem;
        int at = list.problemMessage;
        std::set<std::string> seen;
        for (const ItemRef& it : list.items) {
            const std::string id = ChildText(it.item, "DeviceID");
            if (problem.empty() && !id.empty() && !seen.insert(id).second) {
                problem = "channel " + id + " listed twice";
                at = it.message;
            }
        }
        if (!problem.empty()) {
            CheckResult r = CheckResult::Make(Verdict::Fail, "Catalog answer: " + problem);
            r.Cite(qa.request, "query").Cite(at, "where it shows");
            return CiteQuery(r, qa);
        }
        pass.reason = "SumNum " + std::to_string(list.sumNum) + ", " +
                      Counted(list.items.size(), "item", "items") + " in " +
                      Counted(qa.answers.size(), "message", "messages");
        pass.measurements.clear();
        pass.Measure("items", static_cast<double>(list.items.size()))
            .Measure("messages", static_cast<double>(qa.answers.size()));
        CiteQuery(pass, qa);
    }
    return pass;
}

} // namespace tarvex::check

// RecordInfo of the last 24 hours: the query is answered (Result ERROR counts as
// not supported: a device without storage), SumNum and every RecordList Num agree
// with the items, and each item has a DeviceID and well-formed StartTime and
// EndTime, in order, overlapping the range asked for.
#include "check/battery/Exchange.h"
#include "check/battery/SipText.h"

namespace tarvex::check {
namespace {

std::string ItemProblem(const XMLNode& item, const std::string& from, const std::string& to) {
    bool has = false;
    if (ChildText(item, "DeviceID", &has).empty()) return "no DeviceID";
    const std::string start = ChildText(item, "StartTime", &has);
    if (!IsManscdpTime(start)) return "StartTime \"" + start + "\" is not a time";
    const std::string end = ChildText(item, "EndTime", &has);
    if (!IsManscdpTime(end)) return "EndTime \"" + end + "\" is not a time";
    if (TimeKey(end) < TimeKey(start)) return "EndTime " + end + " before StartTime " + start;
    if (IsManscdpTime(from) && IsManscdpTime(to) &&
        (TimeKey(end) < TimeKey(from) || TimeKey(start) > TimeKey(to)))
        return start + " to " + end + " lies outside the range asked for";
    return {};
}

} // namespace

CheckResult CheckRecordInfoAnswer(const Observation& obs) {
    const std::vector<QueryAnswers> queries = AnswersOf(obs, "Query", "RecordInfo");
    if (queries.empty())
        return CheckResult::Make(Verdict::NotRun, "Tarvex sent no RecordInfo query");
    CheckResult pass = CheckResult::Make(Verdict::Pass, {});
    for (const QueryAnswers& qa : queries) {
        const XMLNode& q = obs.messages[static_cast<std::size_t>(qa.request)].manscdp.root;
        const std::string from = ChildText(q, "StartTime"), to = ChildText(q, "EndTime");
        if (auto r = UnansweredQuery(obs, qa, "RecordInfo", true)) return *r;
        const AnswerList list = ReadAnswerList(obs, qa.answers, "RecordList");
        std::string problem = list.problem.empty() ? "" : "RecordInfo answer: " + list.problem;
        int at = list.problemMessage;
        for (std::size_t i = 0; i < list.items.size() && problem.empty(); ++i) {
            const std::string p = ItemProblem(list.items[i].item, from, to);
            if (!p.empty()) {
                problem = "recording " + std::to_string(i + 1) + ": " + p;
                at = list.items[i].message;
            }
        }
        if (!problem.empty()) {
            CheckResult r = CheckResult::Make(Verdict::Fail, problem);
            r.Cite(qa.request, "query").Cite(at, "where it shows");
            return CiteQuery(r, qa);
        }
        pass.reason = (list.items.empty() ? std::string("no recordings")
                                          : Counted(list.items.size(), "recording", "recordings")) +
                      " from " + from + " to " + to +
                      (list.items.empty() ? "" : ", times well formed and within the range");
        pass.measurements.clear();
        pass.Measure("recordings", static_cast<double>(list.items.size()))
            .Measure("messages", static_cast<double>(qa.answers.size()));
        CiteQuery(pass, qa);
    }
    return pass;
}

} // namespace tarvex::check

// Catalog items complete: every item of every Catalog answer has a 20-digit
// DeviceID, a Name and a Status of ON or OFF (ONLINE, OFFLINE and OK are taken
// too, as devices send them). Business groups and virtual organisations (type
// codes 215 and 216) carry no Status and are not asked for one.
#include "check/battery/Exchange.h"
#include "check/battery/SipText.h"

namespace tarvex::check {
namespace {

std::string ItemProblem(const XMLNode& item) {
    bool has = false;
    const std::string id = ChildText(item, "DeviceID", &has);
    if (!has || id.empty()) return "no DeviceID";
    if (!IsDeviceCode(id)) return "DeviceID \"" + id + "\" is not a 20-digit identifier";
    const std::string name = ChildText(item, "Name", &has);
    if (!has || name.empty()) return id + " has no Name";
    const std::string type = id.substr(10, 3);
    if (type == "215" || type == "216") return {};
    const std::string status = ChildText(item, "Status", &has);
    if (!has || status.empty()) return id + " has no Status";
    for (const char* ok : {"ON", "OFF", "ONLINE", "OFFLINE", "OK"})
        if (EqualsNoCase(status, ok)) return {};
    return id + " has Status \"" + status + "\", not ON or OFF";
}

} // namespace

CheckResult CheckCatalogItems(const Observation& obs) {
    std::size_t answers = 0, items = 0;
    for (const QueryAnswers& qa : AnswersOf(obs, "Query", "Catalog")) {
        answers += qa.answers.size();
        for (int a : qa.answers) {
            const XMLNode list =
                obs.messages[static_cast<std::size_t>(a)].manscdp.root.ChildByName("DeviceList");
            for (int i = 0; i < list.ChildCount(); ++i) {
                ++items;
                const std::string problem = ItemProblem(list.ChildAt(i));
                if (!problem.empty())
                    return CheckResult::Make(Verdict::Fail, "Catalog item " +
                                                                std::to_string(i + 1) + ": " +
                                                                problem)
                        .Cite(qa.request, "query")
                        .Cite(a, "answer");
            }
        }
    }
    if (answers == 0) return CheckResult::Make(Verdict::NotRun, "no Catalog answer to look at");
    if (items == 0) return CheckResult::Make(Verdict::NotRun, "the Catalog answers list no items");
    return CheckResult::Make(Verdict::Pass, Counted(items, "item", "items") +
                                                ", each with DeviceID, Name and Status")
        .Measure("items", static_cast<double>(items));
}

} // namespace tarvex::check

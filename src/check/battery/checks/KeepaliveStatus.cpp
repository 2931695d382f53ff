// Keepalive status: every keepalive of the device carries Status OK (a device
// that reports ERROR says it is not working properly).
#include "check/battery/Exchange.h"
#include "check/battery/checks/Keepalive.h"

namespace tarvex::check {

CheckResult CheckKeepaliveStatus(const Observation& obs) {
    const KeepalivePlan p = PlanKeepalives(obs);
    if (p.keepalives.empty()) return CheckResult::Make(Verdict::NotRun, "no keepalive observed");
    CheckResult pass = CheckResult::Make(
        Verdict::Pass, Counted(p.keepalives.size(), "keepalive", "keepalives") + " with Status OK");
    for (int k : p.keepalives) {
        const ObservedMessage& m = obs.messages[static_cast<std::size_t>(k)];
        bool has = false;
        const std::string status = ChildText(m.manscdp.root, "Status", &has);
        if (status != "OK")
            return CheckResult::Make(Verdict::Fail,
                                     "keepalive at " + m.timeText +
                                         (has ? " carries Status " + status : " has no Status"))
                .Cite(k, "keepalive");
    }
    pass.Cite(p.keepalives.front(), "first keepalive");
    return pass;
}

} // namespace tarvex::check

// BYE answered: every BYE Tarvex sent to end a stream gets a 2xx from the device.
#include "check/battery/Exchange.h"

namespace tarvex::check {

CheckResult CheckByeAnswered(const Observation& obs) {
    const std::vector<int> byes =
        Select(obs, [](const ObservedMessage& m) { return m.Sent() && m.IsRequest("BYE"); });
    if (byes.empty()) return CheckResult::Make(Verdict::NotRun, "Tarvex sent no BYE");
    CheckResult pass =
        CheckResult::Make(Verdict::Pass, Counted(byes.size(), "BYE", "BYEs") + " answered 2xx");
    for (int b : byes) {
        const ObservedMessage& m = obs.messages[static_cast<std::size_t>(b)];
        const int final = FinalResponseTo(obs, b);
        if (final < 0)
            return CheckResult::Make(Verdict::Fail, "BYE at " + m.timeText + " got no answer")
                .Cite(b, "BYE");
        const ObservedMessage& a = obs.messages[static_cast<std::size_t>(final)];
        if (a.sip.status >= 300)
            return CheckResult::Make(Verdict::Fail,
                                     "BYE at " + m.timeText + " answered " + Describe(a))
                .Cite(b, "BYE")
                .Cite(final, "answer");
        pass.Cite(b, "BYE").Cite(final, "answer");
    }
    return pass;
}

} // namespace tarvex::check

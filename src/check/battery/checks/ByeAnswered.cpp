// BYE answered: every BYE Tarvex sent to end a stream gets a 2xx from the device.
#include "check/battery/Exchange.h"

namespace tarvex::check {

CheckResult CheckByeAnswered(const Observation& obs) {
    const std::vector<int> byes =
        Select(obs, [](const ObservedMessage& m) { return m.Sent() && m.IsRequest("BYE"); });
    if (byes.empty()) return CheckResult::Make(Verdict::NotRun, "Tarvex sent no BYE");
    std::size_t crossedByes = 0;
    for (int b : byes) {
        const ObservedMessage& m = obs.messages[static_cast<std::size_t>(b)];
        const int final = FinalResponseTo(obs, b);
        // A BYE that crossed the device's own BYE of the call finds no dialog
        // there: no answer, or 481, is then the device's right (RFC 3261 15.1.2).
        bool crossed = false;
        for (std::size_t k = 0; k < obs.messages.size() && !crossed; ++k) {
            const ObservedMessage& x = obs.messages[k];
            crossed = x.Received() && x.IsRequest("BYE") && x.sip.callId == m.sip.callId;
        }
        if (crossed && (final < 0 || obs.messages[static_cast<std::size_t>(final)].sip.status == 481)) {
            ++crossedByes;
            continue;
        }
        if (final < 0)
            return CheckResult::Make(Verdict::Fail, "BYE at " + m.timeText + " got no answer")
                .Cite(b, "BYE");
        const ObservedMessage& a = obs.messages[static_cast<std::size_t>(final)];
        if (a.sip.status >= 300)
            return CheckResult::Make(Verdict::Fail,
                                     "BYE at " + m.timeText + " answered " + Describe(a))
                .Cite(b, "BYE")
                .Cite(final, "answer");
    }
    CheckResult pass = CheckResult::Make(
        Verdict::Pass, Counted(byes.size() - crossedByes, "BYE", "BYEs") + " answered 2xx" +
                           (crossedByes ? ", " + Counted(crossedByes, "BYE", "BYEs") +
                                              " crossed the device's own BYE"
                                        : std::string()));
    for (int b : byes) {
        const int final = FinalResponseTo(obs, b);
        pass.Cite(b, "BYE");
        if (final >= 0) pass.Cite(final, "answer");
    }
    return pass;
}

} // namespace tarvex::check

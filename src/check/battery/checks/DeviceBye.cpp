// BYE from the device answered: a BYE the device sends to end a call must name
// one of Tarvex's dialogs (RFC 3261 §12.2.2: its Call-ID, the From tag the
// device gave in its 2xx, the To tag Tarvex gave in its INVITE), or Tarvex's
// SIP layer answers it 481. That layer answers it without logging the answer,
// so the check judges the match the answer depends on.
#include "check/battery/Exchange.h"
#include "check/battery/SipText.h"

namespace tarvex::check {
namespace {

std::string Tag(const ObservedMessage& m, const char* header) {
    const SipAddress a = ParseSipAddress(m.sip.Value(header));
    const auto t = a.params.find("tag");
    return t == a.params.end() ? std::string() : t->second;
}

} // namespace

CheckResult CheckDeviceBye(const Observation& obs) {
    const std::vector<int> byes =
        Select(obs, [](const ObservedMessage& m) { return m.Received() && m.IsRequest("BYE"); });
    if (byes.empty()) return CheckResult::Make(Verdict::NotRun, "the device sent no BYE");
    CheckResult pass = CheckResult::Make(
        Verdict::Pass,
        Counted(byes.size(), "BYE of the device", "BYEs of the device") +
            " naming Tarvex's dialog (Call-ID and both tags), which Tarvex answers 200");
    for (int b : byes) {
        const ObservedMessage& bye = obs.messages[static_cast<std::size_t>(b)];
        int invite = -1, ok = -1;
        for (int i = 0; i < b; ++i) {
            const ObservedMessage& m = obs.messages[static_cast<std::size_t>(i)];
            if (m.Sent() && m.IsRequest("INVITE") && m.sip.callId == bye.sip.callId) invite = i;
        }
        if (invite >= 0) ok = FinalResponseTo(obs, invite);
        std::string problem;
        if (invite < 0)
            problem = "Call-ID " + bye.sip.callId + " is of no INVITE of Tarvex";
        else if (ok < 0 || obs.messages[static_cast<std::size_t>(ok)].sip.status >= 300)
            problem = "its call was never answered 2xx";
        else if (Tag(bye, "From") != Tag(obs.messages[static_cast<std::size_t>(ok)], "To"))
            problem = "From tag \"" + Tag(bye, "From") +
                      "\" is not the tag of the device's 200 (\"" +
                      Tag(obs.messages[static_cast<std::size_t>(ok)], "To") + "\")";
        else if (Tag(bye, "To") != Tag(obs.messages[static_cast<std::size_t>(invite)], "From"))
            problem = "To tag \"" + Tag(bye, "To") + "\" is not Tarvex's (\"" +
                      Tag(obs.messages[static_cast<std::size_t>(invite)], "From") + "\")";
        if (!problem.empty())
            return CheckResult::Make(Verdict::Fail, "BYE of the device at " + bye.timeText + ": " +
                                                        problem + "; Tarvex answers it 481")
                .Cite(b, "BYE");
        pass.Cite(invite, "INVITE").Cite(ok, "200 OK").Cite(b, "BYE");
    }
    return pass;
}

} // namespace tarvex::check

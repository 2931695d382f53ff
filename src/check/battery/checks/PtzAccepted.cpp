// Pan-tilt-zoom commands accepted: every DeviceControl with a PTZCmd gets a 2xx;
// a Response saying Result ERROR, or a SIP 405 or 501, means the device has no
// pan-tilt-zoom (not supported).
#include "check/battery/Exchange.h"
#include "check/battery/SipText.h"

namespace tarvex::check {

CheckResult CheckPtzAccepted(const Observation& obs) {
    const std::vector<QueryAnswers> commands = AnswersOf(obs, "Control", "DeviceControl");
    std::size_t sent = 0, answeredOk = 0;
    CheckResult pass = CheckResult::Make(Verdict::Pass, {});
    for (const QueryAnswers& qa : commands) {
        const ObservedMessage& q = obs.messages[static_cast<std::size_t>(qa.request)];
        const std::string code = ChildText(q.manscdp.root, "PTZCmd");
        if (code.empty()) continue;
        ++sent;
        const int final = FinalResponseTo(obs, qa.request);
        const std::string what = "PTZCmd " + code + " at " + q.timeText;
        if (final < 0)
            return CheckResult::Make(Verdict::Fail, what + " got no answer")
                .Cite(qa.request, "command");
        const int status = obs.messages[static_cast<std::size_t>(final)].sip.status;
        if (status == 405 || status == 501)
            return CheckResult::Make(Verdict::NotSupported,
                                     what + " answered " + std::to_string(status))
                .Cite(qa.request, "command")
                .Cite(final, "answer");
        if (status >= 300)
            return CheckResult::Make(Verdict::Fail, what + " answered " + std::to_string(status))
                .Cite(qa.request, "command")
                .Cite(final, "answer");
        for (int a : qa.answers) {
            const std::string result =
                ChildText(obs.messages[static_cast<std::size_t>(a)].manscdp.root, "Result");
            if (EqualsNoCase(result, "ERROR"))
                return CheckResult::Make(Verdict::NotSupported, what + " answered Result ERROR")
                    .Cite(qa.request, "command")
                    .Cite(a, "answer");
            if (EqualsNoCase(result, "OK")) ++answeredOk;
        }
        pass.Cite(qa.request, "command").Cite(final, "answer");
        for (int a : qa.answers)
            pass.Cite(a, "Response");
    }
    if (sent == 0)
        return CheckResult::Make(Verdict::NotRun, "Tarvex sent no pan-tilt-zoom command");
    pass.reason = Counted(sent, "command", "commands") + " accepted with 2xx, " +
                  std::to_string(answeredOk) + " of them also answered Result OK";
    return pass.Measure("commands", static_cast<double>(sent))
        .Measure("answered_ok", static_cast<double>(answeredOk));
}

} // namespace tarvex::check

// Digest answer to the challenge: when Tarvex challenged a REGISTER ("验证密码"
// set), the device's next REGISTER carries credentials that verify against the
// configured password.
#include "check/battery/Digest.h"
#include "check/battery/Exchange.h"
#include "check/battery/SipText.h"

namespace tarvex::check {

CheckResult CheckRegisterDigest(const Observation& obs) {
    if (obs.settings.password.empty())
        return CheckResult::Make(Verdict::NotRun,
                                 "Tarvex did not challenge: no 验证密码 configured");
    const std::vector<int> challenges = Select(obs, [](const ObservedMessage& m) {
        return m.Sent() && (m.sip.status == 401 || m.sip.status == 407) &&
               m.sip.cseqMethod == "REGISTER";
    });
    if (challenges.empty() && !obs.registered)
        return CheckResult::Make(Verdict::Fail, "no REGISTER came to be challenged");
    if (challenges.empty())
        return CheckResult::Make(Verdict::NotRun, "Tarvex sent no challenge to a REGISTER");
    CheckResult pass = CheckResult::Make(Verdict::Pass, {});
    std::string algorithms;
    for (int c : challenges) {
        const ObservedMessage& ch = obs.messages[static_cast<std::size_t>(c)];
        const bool proxy = ch.sip.status == 407;
        const auto challenge = ParseAuthParams(
            ch.sip.Value(proxy ? "Proxy-Authenticate" : "WWW-Authenticate"), nullptr);
        int answer = -1;
        for (std::size_t i = static_cast<std::size_t>(c) + 1; i < obs.messages.size() && answer < 0;
             ++i) {
            const ObservedMessage& m = obs.messages[i];
            if (m.Received() && m.IsRequest("REGISTER") &&
                m.sip.Find(proxy ? "Proxy-Authorization" : "Authorization"))
                answer = static_cast<int>(i);
        }
        if (answer < 0)
            return CheckResult::Make(Verdict::Fail,
                                     "no REGISTER with credentials followed the challenge at " +
                                         ch.timeText)
                .Cite(c, "challenge");
        const ObservedMessage& reg = obs.messages[static_cast<std::size_t>(answer)];
        std::string scheme;
        const auto credentials = ParseAuthParams(
            reg.sip.Value(proxy ? "Proxy-Authorization" : "Authorization"), &scheme);
        std::string problem =
            EqualsNoCase(scheme, "Digest")
                ? DigestProblem(challenge, credentials, "REGISTER", obs.settings.password, reg.body)
                : "scheme \"" + scheme + "\" is not Digest";
        if (!problem.empty())
            return CheckResult::Make(Verdict::Fail, "REGISTER at " + reg.timeText + ": " + problem)
                .Cite(c, "challenge")
                .Cite(answer, "REGISTER with credentials");
        const auto alg = credentials.find("algorithm");
        const auto qop = credentials.find("qop");
        algorithms = (alg == credentials.end() ? std::string("MD5") : alg->second) +
                     (qop == credentials.end() ? ", no qop" : ", qop " + qop->second);
        pass.Cite(c, "challenge").Cite(answer, "REGISTER with credentials");
    }
    pass.reason = "credentials verified against the password for " +
                  std::to_string(challenges.size()) +
                  (challenges.size() == 1 ? " challenge (" : " challenges (") + algorithms + ")";
    return pass;
}

} // namespace tarvex::check

// REGISTER well formed: the headers a registrar needs, and the device's 20-digit
// identifier as the user of From and To.
#include "check/battery/Exchange.h"
#include "check/battery/SipText.h"
#include "check/battery/checks/Keepalive.h"

namespace tarvex::check {
namespace {

// What is wrong with one REGISTER, or "" when nothing is.
std::string RegisterProblem(const ObservedMessage& m) {
    const SipHead& h = m.sip;
    if (!ParseSipUri(h.requestUri).ok)
        return "Request-URI \"" + h.requestUri + "\" is not a sip URI";
    if (!h.Find("Via")) return "no Via";
    const std::string* fromText = h.Find("From");
    const SipAddress from = ParseSipAddress(fromText ? *fromText : "");
    if (!fromText || !from.ok) return "From missing or not a sip URI";
    if (!from.params.count("tag")) return "From without tag";
    if (!IsDeviceCode(from.user))
        return "From user \"" + from.user + "\" is not a 20-digit identifier";
    const std::string* toText = h.Find("To");
    const SipAddress to = ParseSipAddress(toText ? *toText : "");
    if (!toText || !to.ok) return "To missing or not a sip URI";
    if (to.user != from.user)
        return "To user \"" + to.user + "\" differs from From user \"" + from.user + "\"";
    if (h.callId.empty()) return "no Call-ID";
    if (h.cseq < 0 || h.cseqMethod != "REGISTER")
        return "CSeq \"" + h.Value("CSeq") + "\" is not n REGISTER";
    const std::string* contactText = h.Find("Contact");
    if (!contactText) return "no Contact";
    const SipAddress contact = ParseSipAddress(*contactText);
    if (*contactText != "*" && !contact.ok)
        return "Contact \"" + *contactText + "\" is not a sip URI";
    long expires = 0;
    const std::string* expiresText = h.Find("Expires");
    if (expiresText) {
        if (!ParseLong(*expiresText, &expires) || expires < 0)
            return "Expires \"" + *expiresText + "\" is not a number of seconds";
    } else {
        const auto p = contact.params.find("expires");
        if (p == contact.params.end()) return "no Expires (neither header nor Contact parameter)";
        if (!ParseLong(p->second, &expires) || expires < 0)
            return "Contact expires \"" + p->second + "\" is not a number of seconds";
    }
    return {};
}

} // namespace

CheckResult CheckRegisterForm(const Observation& obs) {
    const std::vector<int> regs = Select(
        obs, [](const ObservedMessage& m) { return m.Received() && m.IsRequest("REGISTER"); });
    if (regs.empty() && !obs.registered)
        return CheckResult::Make(Verdict::Fail, "no REGISTER was received within " +
                                                    Seconds(obs.registerWaitMs));
    if (regs.empty()) return CheckResult::Make(Verdict::NotRun, "no REGISTER was received");
    for (int i : regs) {
        const ObservedMessage& m = obs.messages[static_cast<std::size_t>(i)];
        const std::string problem = RegisterProblem(m);
        if (!problem.empty())
            return CheckResult::Make(Verdict::Fail, "REGISTER at " + m.timeText + ": " + problem)
                .Cite(i, "REGISTER");
    }
    const ObservedMessage& first = obs.messages[static_cast<std::size_t>(regs.front())];
    CheckResult r = CheckResult::Make(
        Verdict::Pass,
        std::to_string(regs.size()) + (regs.size() == 1 ? " REGISTER" : " REGISTERs") +
            " well formed, identifier " + ParseSipAddress(first.sip.Value("From")).user);
    for (int i : regs)
        r.Cite(i, "REGISTER");
    return r;
}

} // namespace tarvex::check

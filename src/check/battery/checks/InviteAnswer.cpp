// INVITE answers open a dialog: the 2xx of every INVITE Tarvex sent carries a
// To tag and a Contact that reaches the device (not one naming Tarvex itself),
// or no ACK, INFO or BYE can reach it; its SDP has a whole o= line, the offer's
// s= and, when it gives one, an f= of the form v/.../a/....
#include "check/battery/Exchange.h"
#include "check/battery/Sdp.h"
#include "check/battery/SipText.h"

#include <sstream>

namespace tarvex::check {
namespace {

std::string AnswerProblem(const ObservedMessage& invite, const ObservedMessage& ok,
                          const std::string& platformId) {
    const SipAddress to = ParseSipAddress(ok.sip.Value("To"));
    if (!to.params.count("tag") || to.params.at("tag").empty()) return "To without a tag";
    const std::string* contactText = ok.sip.Find("Contact");
    if (!contactText) return "no Contact";
    const SipAddress contact = ParseSipAddress(*contactText);
    if (!contact.ok) return "Contact \"" + *contactText + "\" is not a sip URI";
    const SipAddress ours = ParseSipAddress(invite.sip.Value("Contact"));
    const SipAddress from = ParseSipAddress(invite.sip.Value("From"));
    if ((!platformId.empty() && contact.user == platformId) || contact.user == from.user ||
        (ours.ok && contact.host == ours.host && contact.port == ours.port))
        return "Contact " + *contactText + " names Tarvex, not the device";
    const Sdp answer = ParseSdp(ok.body), offer = ParseSdp(invite.body);
    const std::optional<std::string> o = answer.First('o');
    std::istringstream fields(o ? *o : "");
    int n = 0;
    for (std::string f; fields >> f;)
        ++n;
    if (!o || n != 6) return "SDP o=" + o.value_or("") + " is not six fields";
    const std::optional<std::string> s = answer.First('s'), asked = offer.First('s');
    if (asked && s != asked) return "SDP s=" + s.value_or("") + ", the offer's is s=" + *asked;
    if (const std::optional<std::string> f = answer.First('f');
        f && !f->empty() && f->rfind("v/", 0) != 0)
        return "SDP f=" + *f + " does not start with v/";
    return {};
}

} // namespace

CheckResult CheckInviteAnswer(const Observation& obs) {
    const std::vector<int> invites =
        Select(obs, [](const ObservedMessage& m) { return m.Sent() && m.IsRequest("INVITE"); });
    CheckResult pass = CheckResult::Make(Verdict::Pass, {});
    int answered = 0;
    for (int i : invites) {
        const int final = FinalResponseTo(obs, i);
        if (final < 0) continue;
        const ObservedMessage& ok = obs.messages[static_cast<std::size_t>(final)];
        if (ok.sip.status < 200 || ok.sip.status >= 300) continue;
        ++answered;
        const ObservedMessage& invite = obs.messages[static_cast<std::size_t>(i)];
        const std::string problem = AnswerProblem(invite, ok, obs.settings.platformId);
        if (!problem.empty())
            return CheckResult::Make(Verdict::Fail,
                                     "200 to the INVITE at " + invite.timeText + ": " + problem)
                .Cite(i, "INVITE")
                .Cite(final, "200 OK");
        pass.Cite(final, "200 OK");
    }
    if (answered == 0) return CheckResult::Make(Verdict::NotRun, "no INVITE was answered 2xx");
    pass.reason = Counted(static_cast<std::size_t>(answered), "INVITE answer", "INVITE answers") +
                  " with a To tag, the device's Contact and o=, s= as offered";
    return pass;
}

} // namespace tarvex::check

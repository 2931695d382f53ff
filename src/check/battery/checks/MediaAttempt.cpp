#include "check/battery/checks/MediaAttempt.h"

#include "check/battery/Exchange.h"
#include "check/battery/Sdp.h"

namespace tarvex::check {
namespace {

int InviteOf(const Observation& obs, const MediaObservation& m) {
    if (m.callId.empty()) return -1;
    const std::vector<int> invites = Select(obs, [&](const ObservedMessage& x) {
        return x.Sent() && x.IsRequest("INVITE") && x.sip.callId == m.callId;
    });
    return invites.empty() ? -1 : invites.front();
}

} // namespace

void CiteCall(CheckResult& r, const Observation& obs, const MediaObservation& m) {
    const int invite = InviteOf(obs, m);
    const int answer = invite < 0 ? -1 : FinalResponseTo(obs, invite);
    if (invite >= 0)
        r.Cite(invite, "INVITE");
    else
        r.Note("SDP offer", m.offer);
    if (answer >= 0)
        r.Cite(answer, "answer to the INVITE");
    else if (!m.answer.empty())
        r.Note("SDP answer", m.answer);
}

std::optional<CheckResult> JudgeAnswer(const Observation& obs, const MediaObservation& m,
                                       bool history) {
    const auto make = [&](Verdict v, const std::string& reason) {
        CheckResult r = CheckResult::Make(v, reason);
        CiteCall(r, obs, m);
        return r;
    };
    const std::string what = m.kind + " over " + MediaTransportName(m.transport);
    if (m.answerStatus == 0) return make(Verdict::Fail, what + ": the INVITE got no final answer");
    if (m.answerStatus == 405 || m.answerStatus == 415 || m.answerStatus == 488 ||
        m.answerStatus == 501)
        return make(Verdict::NotSupported,
                    what + ": the device answered " + std::to_string(m.answerStatus));
    if (m.answerStatus >= 300)
        return make(Verdict::Fail,
                    what + ": the INVITE was answered " + std::to_string(m.answerStatus));
    const std::string problem = SdpAnswerProblem(m.answer, m.offer, m.transport, history);
    if (!problem.empty()) return make(Verdict::Fail, what + ": SDP answer: " + problem);
    if (m.rtpSsrc) {
        const auto y = SsrcOfY(ParseSdp(m.answer).First('y').value_or(""));
        if (y && *y != *m.rtpSsrc)
            return make(Verdict::Fail, what + ": RTP SSRC " + std::to_string(*m.rtpSsrc) +
                                           " is not the answer's y= " + std::to_string(*y));
    }
    return std::nullopt;
}

} // namespace tarvex::check

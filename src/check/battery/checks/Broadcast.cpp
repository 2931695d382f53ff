// Voice broadcast: the Broadcast notification is answered (200, then a
// Response Result OK), the device INVITEs Tarvex for the audio, Tarvex
// answers it 200 and audio goes out for the window. What the device did with
// the audio is not on the wire: the packets are Tarvex's own count.
#include "check/battery/Exchange.h"
#include "check/battery/SipText.h"

namespace tarvex::check {

namespace {

bool OffersAudio(const ObservedMessage& m) { return m.body.find("m=audio") != std::string::npos; }

} // namespace

CheckResult CheckBroadcast(const Observation& obs) {
    int notify = -1;
    for (std::size_t i = 0; i < obs.messages.size() && notify < 0; ++i) {
        const ObservedMessage& m = obs.messages[i];
        if (m.Sent() && m.IsRequest("MESSAGE") && m.manscdp.Is("Notify", "Broadcast"))
            notify = static_cast<int>(i);
    }
    if (notify < 0) return CheckResult::Make(Verdict::NotRun, "Tarvex sent no Broadcast notification");
    const ObservedMessage& n = obs.messages[static_cast<std::size_t>(notify)];
    const std::string what = "Broadcast notification at " + n.timeText;
    const int final = FinalResponseTo(obs, notify);
    if (final < 0) return CheckResult::Make(Verdict::Fail, what + " got no answer").Cite(notify, "notification");
    const int status = obs.messages[static_cast<std::size_t>(final)].sip.status;
    if (status >= 300)
        return CheckResult::Make(Verdict::NotSupported, what + " answered " + std::to_string(status))
            .Cite(notify, "notification")
            .Cite(final, "answer");
    // The Response (Result OK or ERROR) and the device's INVITE for the audio.
    int response = -1, invite = -1;
    for (std::size_t i = static_cast<std::size_t>(notify) + 1; i < obs.messages.size(); ++i) {
        const ObservedMessage& m = obs.messages[i];
        if (!m.Received()) continue;
        if (response < 0 && m.IsRequest("MESSAGE") && m.manscdp.Is("Response", "Broadcast"))
            response = static_cast<int>(i);
        if (invite < 0 && m.IsRequest("INVITE") && OffersAudio(m)) invite = static_cast<int>(i);
    }
    if (response >= 0 &&
        EqualsNoCase(ChildText(obs.messages[static_cast<std::size_t>(response)].manscdp.root, "Result"),
                     "ERROR"))
        return CheckResult::Make(Verdict::NotSupported, what + " answered Result ERROR")
            .Cite(notify, "notification")
            .Cite(response, "answer");
    if (invite < 0) {
        CheckResult r = CheckResult::Make(
            Verdict::NotSupported,
            what + " answered " + std::to_string(status) + (response >= 0 ? " and Result OK" : "") +
                ", but the device sent no INVITE for the audio");
        r.Cite(notify, "notification").Cite(final, "answer");
        if (response >= 0) r.Cite(response, "Response");
        return r;
    }
    const ObservedMessage& inv = obs.messages[static_cast<std::size_t>(invite)];
    const int ours = FinalResponseTo(obs, invite);
    const int ourStatus = ours < 0 ? 0 : obs.messages[static_cast<std::size_t>(ours)].sip.status;
    if (ourStatus != 200) {
        // Tarvex refuses an offer without G.711 (or PS) with 488.
        CheckResult r = CheckResult::Make(
            Verdict::Fail, "the device's INVITE for the audio at " + inv.timeText +
                               (ours < 0 ? " was not answered" : " was answered " + std::to_string(ourStatus)) +
                               (ourStatus == 488 ? " (no PCMA, PCMU or PS offered)" : ""));
        r.Cite(notify, "notification").Cite(invite, "INVITE");
        if (ours >= 0) r.Cite(ours, "answer");
        return r;
    }
    const std::uint64_t packets = obs.broadcastPackets.value_or(0);
    if (packets == 0)
        return CheckResult::Make(Verdict::Fail, "the audio call was set up (INVITE at " + inv.timeText +
                                                    " answered 200) but no audio packet reached the device's "
                                                    "transport")
            .Cite(notify, "notification")
            .Cite(invite, "INVITE")
            .Cite(ours, "answer");
    CheckResult r = CheckResult::Make(
        Verdict::Pass, what + " answered " + std::to_string(status) +
                           (response >= 0 ? " and Result OK" : " (no Response)") +
                           "; the device's INVITE for the audio answered 200; " +
                           Counted(packets, "audio packet", "audio packets") +
                           " sent (the device's own count is not on the wire: judged on the SIP exchange)");
    r.Cite(notify, "notification").Cite(final, "answer");
    if (response >= 0) r.Cite(response, "Response");
    r.Cite(invite, "INVITE").Cite(ours, "answer");
    return r.Measure("packets", static_cast<double>(packets));
}

} // namespace tarvex::check

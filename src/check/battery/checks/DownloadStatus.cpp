// Download completes with MediaStatus 121: a download the device served to its
// end is announced with a Notify MediaStatus of NotifyType 121 before (or
// with) the device's BYE of that call, or before Tarvex's BYE that ends it.
#include "check/battery/Exchange.h"
#include "check/battery/Sdp.h"

namespace tarvex::check {

CheckResult CheckDownloadStatus(const Observation& obs) {
    const std::vector<int> invites = Select(obs, [](const ObservedMessage& m) {
        return m.Sent() && m.IsRequest("INVITE") && ParseSdp(m.body).First('s') == "Download";
    });
    if (invites.empty()) return CheckResult::Make(Verdict::NotRun, "no download was attempted");
    for (int i : invites) {
        const int final = FinalResponseTo(obs, i);
        const ObservedMessage& invite = obs.messages[static_cast<std::size_t>(i)];
        if (final < 0 || obs.messages[static_cast<std::size_t>(final)].sip.status >= 300) continue;
        int bye = -1, status = -1;
        for (std::size_t k = static_cast<std::size_t>(final); k < obs.messages.size(); ++k) {
            const ObservedMessage& m = obs.messages[k];
            if (bye < 0 && m.IsRequest("BYE") && m.sip.callId == invite.sip.callId) {
                // Tarvex's BYE after the device's 121 is the platform ending a
                // finished download; before it, the device never finished.
                if (m.Sent() && status >= 0)
                    return CheckResult::Make(Verdict::Pass,
                                             "download finished by the device: MediaStatus 121 at " +
                                                 obs.messages[static_cast<std::size_t>(status)].timeText +
                                                 ", Tarvex's BYE at " + m.timeText)
                        .Cite(i, "INVITE")
                        .Cite(status, "MediaStatus 121")
                        .Cite(static_cast<int>(k), "BYE of Tarvex");
                if (m.Sent())
                    return CheckResult::Make(Verdict::NotRun,
                                             "the download was not finished by the device "
                                             "before Tarvex ended it at " +
                                                 m.timeText)
                        .Cite(i, "INVITE")
                        .Cite(static_cast<int>(k), "BYE of Tarvex");
                bye = static_cast<int>(k);
            }
            if (status < 0 && m.Received() && m.manscdp.Is("Notify", "MediaStatus") &&
                ChildText(m.manscdp.root, "NotifyType") == "121")
                status = static_cast<int>(k);
        }
        if (bye < 0)
            return CheckResult::Make(Verdict::NotRun, "the device did not end the download of " +
                                                          invite.timeText + " within the check")
                .Cite(i, "INVITE");
        const ObservedMessage& b = obs.messages[static_cast<std::size_t>(bye)];
        // The Notify may arrive just after the BYE (another transaction).
        if (status < 0 || obs.messages[static_cast<std::size_t>(status)].timeMs > b.timeMs + 1000)
            return CheckResult::Make(Verdict::Fail,
                                     "the device ended the download with its BYE at " + b.timeText +
                                         " without MediaStatus 121")
                .Cite(i, "INVITE")
                .Cite(bye, "BYE of the device");
        return CheckResult::Make(Verdict::Pass,
                                 "download ended by the device: MediaStatus 121 at " +
                                     obs.messages[static_cast<std::size_t>(status)].timeText +
                                     ", BYE at " + b.timeText)
            .Cite(i, "INVITE")
            .Cite(status, "MediaStatus 121")
            .Cite(bye, "BYE of the device");
    }
    return CheckResult::Make(Verdict::NotRun, "no download was answered 2xx");
}

} // namespace tarvex::check

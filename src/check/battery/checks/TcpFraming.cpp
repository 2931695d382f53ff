// TCP media framed as RFC 4571 (a 16-bit length before each RTP packet), which
// the offer's TCP/RTP/AVP asks for. RTSP interleaved framing ('$', channel,
// length), which some devices send, is read by Tarvex but not by every
// platform: a warning that names it.
#include "check/battery/Exchange.h"
#include "check/battery/checks/MediaAttempt.h"

namespace tarvex::check {

CheckResult CheckTcpFraming(const Observation& obs) {
    std::vector<const MediaObservation*> seen;
    bool tried = false;
    for (const auto& m : obs.media) {
        if (m.transport == kMediaUdp) continue;
        tried = true;
        if (m.framing != kFramingUnknown) seen.push_back(&m);
    }
    if (seen.empty())
        return CheckResult::Make(Verdict::NotRun, tried ? "no RTP packet came over TCP"
                                                        : "no media over TCP was attempted");
    for (const MediaObservation* m : seen)
        if (m->framing == kFramingInterleaved) {
            CheckResult r = CheckResult::Make(
                Verdict::Fail, m->kind + " over " + MediaTransportName(m->transport) +
                                   ": RTP framed as RTSP interleaved data ('$', channel, "
                                   "length), not as RFC 4571 (a length before each packet)");
            CiteCall(r, obs, *m);
            return r;
        }
    CheckResult r = CheckResult::Make(
        Verdict::Pass, Counted(seen.size(), "stream", "streams") +
                           " over TCP framed as RFC 4571 (a length before each packet)");
    for (const MediaObservation* m : seen)
        CiteCall(r, obs, *m);
    return r;
}

} // namespace tarvex::check

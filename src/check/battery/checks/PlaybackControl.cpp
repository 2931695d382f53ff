// Playback with pause and scale: the playback INVITE is answered 2xx with a
// well-formed SDP (y= starting with 1), a picture comes when the driver measured
// one, and the MANSRTSP INFOs PAUSE and PLAY with a Scale other than 1 are
// accepted with 2xx (405 or 501 to them: not supported); the pictures keep to
// the device's own clock (JudgeClock).
#include "check/battery/Exchange.h"
#include "check/battery/SipText.h"
#include "check/battery/checks/MediaAttempt.h"

#include <cstdio>
#include <cstdlib>

namespace tarvex::check {
namespace {

// The method of a MANSRTSP body ("PAUSE RTSP/1.0") and its Scale header.
std::string RtspMethod(const std::string& body) {
    return body.substr(0, body.find_first_of(" \r\n"));
}

double RtspScale(const std::string& body) {
    std::size_t i = 0;
    while (i < body.size()) {
        std::size_t nl = body.find('\n', i);
        if (nl == std::string::npos) nl = body.size();
        const std::string line = Trim(std::string_view(body).substr(i, nl - i));
        if (line.size() > 6 && EqualsNoCase(line.substr(0, 6), "Scale:"))
            return std::atof(line.c_str() + 6);
        i = nl + 1;
    }
    return 1.0;
}

} // namespace

CheckResult CheckPlaybackControl(const Observation& obs) {
    const MediaObservation* attempt = nullptr;
    for (const auto& m : obs.media)
        if (m.kind == "Playback") attempt = &m;
    if (!attempt) return CheckResult::Make(Verdict::NotRun, "no playback was attempted");
    const MediaObservation& m = *attempt;
    if (auto r = JudgeAnswer(obs, m, true)) return *r;
    CheckResult r = CheckResult::Make(Verdict::Pass, {});
    CiteCall(r, obs, m);
    if (m.windowMs > 0 && m.firstPictureMs < 0) {
        r.verdict = Verdict::Fail;
        r.reason = "playback answered but no picture decoded";
        return r;
    }
    // The recording's pictures against the device's own clock (at Scale 1,
    // before the INFOs); not judged while Tarvex's decoder or its receiver
    // (ReceiverBehind) was behind.
    const bool behind = m.framesReceived && m.frames > 0 && *m.framesReceived >= 2 * m.frames;
    const ClockJudgement clock = JudgeClock(m);
    MeasureClock(r, clock);
    MeasureReceiverQueue(r, m);
    const std::string lagging = ReceiverBehind(m);
    // The clock unjudged, the INFOs still are.
    const std::string unjudged =
        !behind && !clock.problem.empty() && !lagging.empty()
            ? "; the clock not judged: Tarvex was behind (" + lagging + ")"
            : std::string();
    if (!behind && !clock.problem.empty() && lagging.empty()) {
        r.verdict = Verdict::Fail;
        r.reason = "playback: " + clock.problem;
        return r;
    }
    int pause = -1, scale = -1;
    double scaleValue = 1.0;
    for (int i : Select(obs, [&](const ObservedMessage& x) {
             return x.Sent() && x.IsRequest("INFO") && !m.callId.empty() &&
                    x.sip.callId == m.callId;
         })) {
        const std::string& body = obs.messages[static_cast<std::size_t>(i)].body;
        const std::string method = RtspMethod(body);
        if (method == "PAUSE" && pause < 0) pause = i;
        if (method == "PLAY" && scale < 0 && RtspScale(body) != 1.0) {
            scale = i;
            scaleValue = RtspScale(body);
        }
    }
    if (pause < 0 || scale < 0) {
        r.verdict = Verdict::NotRun;
        r.reason = std::string("playback answered, but no ") +
                   (pause < 0 ? "PAUSE" : "PLAY with a Scale") + " was sent" + unjudged;
        return r;
    }
    for (int info : {pause, scale}) {
        const int final = FinalResponseTo(obs, info);
        r.Cite(info, RtspMethod(obs.messages[static_cast<std::size_t>(info)].body))
            .Cite(final, "answer");
        const int status = final < 0 ? 0 : obs.messages[static_cast<std::size_t>(final)].sip.status;
        const std::string what =
            (info == pause ? std::string("PAUSE") : "PLAY with Scale") + " INFO";
        if (status == 0 || status >= 300) {
            r.verdict = status == 405 || status == 501 ? Verdict::NotSupported : Verdict::Fail;
            r.reason =
                what + (status == 0 ? " got no answer" : " answered " + std::to_string(status));
            return r;
        }
    }
    char scaleText[16];
    std::snprintf(scaleText, sizeof scaleText, "%.1f", scaleValue);
    r.reason = std::string("playback answered; PAUSE and PLAY Scale ") + scaleText +
               " accepted with 2xx" + clock.figure + unjudged;
    return r;
}

} // namespace tarvex::check

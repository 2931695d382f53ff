// Live view over UDP, TCP passive and TCP active (three rows of the battery):
// the INVITE answered 2xx with a well-formed SDP, the first picture decoded
// within the limit (5 s from the INVITE), frames over the measuring window, and
// RTP sequence gaps: any over TCP fails (TCP loses nothing, so the device
// skipped them), over UDP more than 1 % of the packets lost fails; and the
// pictures against the device's own clock (JudgeClock). Loss and clock are not
// judged while Tarvex's own receiver was behind (ReceiverBehind).
#include "check/battery/Exchange.h"
#include "check/battery/checks/MediaAttempt.h"

#include <cstdio>

namespace tarvex::check {
namespace {

std::string Figure(const char* format, double v) {
    char buf[48];
    std::snprintf(buf, sizeof buf, format, v);
    return buf;
}

CheckResult CheckLive(const Observation& obs, int transport) {
    const MediaObservation* attempt = nullptr;
    for (const auto& m : obs.media)
        if (m.kind == "Play" && m.transport == transport) attempt = &m;
    const std::string name = MediaTransportName(transport);
    if (!attempt)
        return CheckResult::Make(Verdict::NotRun, "no live view over " + name + " was attempted");
    const MediaObservation& m = *attempt;
    if (auto r = JudgeAnswer(obs, m, false)) return *r;

    const double seconds = static_cast<double>(m.windowMs) / 1000.0;
    const double fps = seconds > 0 ? static_cast<double>(m.frames) / seconds : 0;
    const double kbps = seconds > 0 ? static_cast<double>(m.bytes) * 8.0 / 1000.0 / seconds : 0;
    const double expected = static_cast<double>(m.packets + m.lostPackets);
    const double lossPercent =
        expected > 0 ? 100.0 * static_cast<double>(m.lostPackets) / expected : 0;
    const std::string rtp = m.rtpCounted
                                ? Counted(m.sequenceGaps, "sequence gap", "sequence gaps") + " (" +
                                      Counted(m.lostPackets, "packet", "packets") + " skipped)"
                                : std::string("RTP sequence not counted");
    const double received =
        seconds > 0 && m.framesReceived ? static_cast<double>(*m.framesReceived) / seconds : 0;
    const ClockJudgement clock = JudgeClock(m);
    const std::string figures = Figure("%.1f fps, ", fps) + Figure("%.0f kbit/s over ", kbps) +
                                Figure("%.1f s, ", seconds) + rtp +
                                (m.framesReceived ? Figure(", %.1f fps received", received) : "") +
                                clock.figure;
    // Pictures decoded, but fewer than half the frames that came: Tarvex's
    // decoder could not keep up (a stream it cannot decode gives none at all),
    // so the pictures say nothing about the device.
    const bool behind = m.framesReceived && m.frames > 0 && *m.framesReceived >= 2 * m.frames;
    std::string problem;
    const std::int64_t limit = obs.settings.firstPictureLimitMs;
    if (!behind) {
        if (m.firstPictureMs < 0)
            problem = "no picture decoded";
        else if (m.firstPictureMs > limit)
            problem = "first picture after " + std::to_string(m.firstPictureMs) + " ms, limit " +
                      std::to_string(limit) + " ms";
        else if (m.frames == 0)
            problem = "no frame decoded within the measuring window";
    }
    // Tarvex's receiver behind the stream (its socket says so): datagrams
    // the kernel dropped for it and pictures that came late are its own.
    const std::string lagging = ReceiverBehind(m);
    const bool udpLoss = m.rtpCounted && transport == kMediaUdp && lossPercent > 1.0;
    // The sequence over TCP is the device's whatever Tarvex did.
    if (problem.empty() && m.rtpCounted && transport != kMediaUdp && m.sequenceGaps > 0)
        problem = Counted(m.sequenceGaps, "RTP sequence gap", "RTP sequence gaps") + " over TCP";
    else if (problem.empty() && udpLoss && lagging.empty())
        problem = Figure("%.1f %% of the RTP packets skipped", lossPercent);
    // The pictures against the device's own clock; Tarvex behind says nothing of them.
    if (problem.empty() && !behind && lagging.empty()) problem = clock.problem;
    const bool laggingJudged = !lagging.empty() && (udpLoss || !clock.problem.empty());

    CheckResult r =
        !problem.empty() ? CheckResult::Make(Verdict::Fail, problem + "; " + figures)
        : behind ? CheckResult::Make(Verdict::NotRun, "not judged: Tarvex was behind, it decoded " +
                                                          std::to_string(m.frames) + " of the " +
                                                          std::to_string(*m.framesReceived) +
                                                          " frames received; " + figures)
        : laggingJudged
            ? CheckResult::Make(Verdict::NotRun,
                                "not judged: Tarvex was behind (" + lagging + "); " + figures)
            : CheckResult::Make(Verdict::Pass, "first picture after " +
                                                   std::to_string(m.firstPictureMs) + " ms, " +
                                                   figures);
    MeasureReceiverQueue(r, m);
    if (m.firstPictureMs >= 0)
        r.Measure("first_picture_ms", static_cast<double>(m.firstPictureMs), "ms");
    r.Measure("frame_rate_fps", fps, "fps")
        .Measure("bit_rate_kbps", kbps, "kbit/s")
        .Measure("window_s", seconds, "s")
        .Measure("frames", static_cast<double>(m.frames));
    if (m.framesReceived)
        r.Measure("frames_received", static_cast<double>(*m.framesReceived))
            .Measure("received_frame_rate_fps", received, "fps");
    MeasureClock(r, clock);
    if (m.rtpCounted)
        r.Measure("packets", static_cast<double>(m.packets))
            .Measure("sequence_gaps", static_cast<double>(m.sequenceGaps))
            .Measure("lost_packets", static_cast<double>(m.lostPackets));
    CiteCall(r, obs, m);
    r.Note("media", figures + (m.rtpSsrc ? ", SSRC " + std::to_string(*m.rtpSsrc) : std::string()));
    return r;
}

} // namespace

CheckResult CheckLiveUdp(const Observation& obs) {
    return CheckLive(obs, kMediaUdp);
}
CheckResult CheckLiveTcpPassive(const Observation& obs) {
    return CheckLive(obs, kMediaTcpPassive);
}
CheckResult CheckLiveTcpActive(const Observation& obs) {
    return CheckLive(obs, kMediaTcpActive);
}

} // namespace tarvex::check

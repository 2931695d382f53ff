#include "check/battery/checks/MediaAttempt.h"

#include "check/battery/Exchange.h"
#include "check/battery/Sdp.h"

#include <algorithm>
#include <cstdio>

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

// Arrival times carry the receive thread's scheduling, on a loaded machine
// tens of milliseconds at each end of a one-second window: a clock within a
// quarter of ours passes, a device sending half the pictures it stamps fails.
constexpr std::uint64_t kClockFrames = 3;
constexpr std::int64_t kClockWallUs = 400000;
constexpr double kClockSlow = 0.75, kClockFast = 1.0 / 0.75;

ClockJudgement JudgeClock(const MediaObservation& m) {
    ClockJudgement c;
    if (!m.clock || m.clock->frames < kClockFrames || m.clock->wallUs < kClockWallUs) return c;
    const DeviceClock& k = *m.clock;
    c.judged = true;
    const double wall = static_cast<double>(k.wallUs) / 1e6;
    const double stamped = static_cast<double>(k.ticks) / 90000.0;
    c.receivedFps = static_cast<double>(k.frames) / wall;
    c.rate = stamped / wall;
    char buf[200];
    if (k.ticks == 0) {
        std::snprintf(buf, sizeof buf,
                      "the device stamps wrong: %llu pictures in %.1f s under one RTP timestamp",
                      static_cast<unsigned long long>(k.frames), wall);
        c.problem = buf;
        return c;
    }
    c.stampedFps = static_cast<double>(k.frames) / stamped;
    std::snprintf(buf, sizeof buf, ", %.1f fps by the device's clock", c.stampedFps);
    c.figure = buf;
    if (c.rate < kClockSlow)
        std::snprintf(buf, sizeof buf,
                      "the device sends fewer pictures than it stamps: %.1f a second, stamped "
                      "%.1f fps (its RTP clock ran %.2f s a second at 90 kHz)",
                      c.receivedFps, c.stampedFps, c.rate);
    else if (c.rate > kClockFast)
        std::snprintf(buf, sizeof buf,
                      "the device stamps wrong: its RTP timestamps moved %.2f s a second at "
                      "90 kHz (%.1f pictures a second, stamped %.1f fps)",
                      c.rate, c.receivedFps, c.stampedFps);
    else
        return c;
    c.problem = buf;
    return c;
}

void MeasureClock(CheckResult& r, const ClockJudgement& c) {
    if (!c.judged) return;
    r.Measure("arrival_frame_rate_fps", c.receivedFps, "fps").Measure("device_clock_rate", c.rate);
    if (c.stampedFps > 0) r.Measure("device_frame_rate_fps", c.stampedFps, "fps");
}

} // namespace tarvex::check

namespace tarvex::check {

std::string ReceiverBehind(const MediaObservation& m) {
    if (!m.receiverQueue) return {};
    const ReceiverQueue& q = *m.receiverQueue;
    char buf[160];
    if (q.kernelDrops > 0) {
        std::snprintf(buf, sizeof buf, "the kernel dropped %llu %s for Tarvex",
                      static_cast<unsigned long long>(q.kernelDrops),
                      q.kernelDrops == 1 ? "datagram" : "datagrams");
        return buf;
    }
    if (q.frames > 0 && q.frameWaitUs / q.frames > kBehindWaitUs) {
        std::snprintf(buf, sizeof buf,
                      "its pictures waited %llu ms on average for Tarvex's receive thread",
                      static_cast<unsigned long long>(q.frameWaitUs / q.frames / 1000));
        return buf;
    }
    if (q.samples == 0 || m.windowMs <= 0) return {};
    const std::uint64_t mean = q.queuedBytes / q.samples;
    const std::uint64_t halfSecond = m.bytes * 500 / static_cast<std::uint64_t>(m.windowMs);
    if (mean <= std::max(kBehindQueueFloor, halfSecond)) return {};
    std::snprintf(buf, sizeof buf, "%llu KiB waited in Tarvex's receive queue, on average over %llu reads",
                  static_cast<unsigned long long>(mean / 1024),
                  static_cast<unsigned long long>(q.samples));
    return buf;
}

void MeasureReceiverQueue(CheckResult& r, const MediaObservation& m) {
    if (!m.receiverQueue) return;
    const ReceiverQueue& q = *m.receiverQueue;
    r.Measure("kernel_drops", static_cast<double>(q.kernelDrops));
    if (q.samples > 0)
        r.Measure("receive_queue_kib",
                  static_cast<double>(q.queuedBytes) / static_cast<double>(q.samples) / 1024.0,
                  "KiB");
}

} // namespace tarvex::check

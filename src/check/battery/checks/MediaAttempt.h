// What the live-view and playback checks share: the messages of one media
// attempt and the judgement of the device's answer to its INVITE.
#pragma once

#include "check/battery/CheckResult.h"
#include "check/battery/Observation.h"

#include <optional>
#include <string>

namespace tarvex::check {

// Cites the attempt's INVITE and final answer (found by Call-ID), or notes the
// offer and answer texts when they are not among the messages.
void CiteCall(CheckResult& r, const Observation& obs, const MediaObservation& m);

// Fail or not supported when the INVITE was not answered 2xx with a well-formed
// SDP (and an RTP SSRC that matches its y=); nothing when the answer is good.
std::optional<CheckResult> JudgeAnswer(const Observation& obs, const MediaObservation& m,
                                       bool history);

// The pictures against the device's own clock (RTP timestamps at 90 kHz, one
// per picture) over the measuring window.
struct ClockJudgement {
    bool judged = false;      // at least kClockFrames frames over kClockWallUs
    double stampedFps = 0;    // pictures per second of the device's timestamps
    double receivedFps = 0;   // pictures per second of their arrival
    double rate = 0;          // timestamp seconds per second of arrival
    std::string problem;      // the device sends fewer pictures than it stamps, or stamps wrong
    std::string figure;       // ", 25.0 fps by the device's clock"
};
ClockJudgement JudgeClock(const MediaObservation& m);
// The judgement's figures as measurements of r.
void MeasureClock(CheckResult& r, const ClockJudgement& c);

// Whether Tarvex's own receiver fell behind the stream over the window, from
// its socket (ReceiverQueue): any datagram the kernel dropped for it over UDP,
// or over TCP a queue that held on average more than half a second of the
// stream (at least kBehindQueueFloor). "" when it kept up or was not
// measured, else why: "the kernel dropped 12 datagrams for Tarvex".
// A device that sends fewer pictures than it stamps leaves the queue empty.
// Frames that waited on average more than kBehindWaitUs for the receive
// thread after their packets were read show it behind too.
inline constexpr std::uint64_t kBehindQueueFloor = 64 * 1024;
inline constexpr std::uint64_t kBehindWaitUs = 250000;
std::string ReceiverBehind(const MediaObservation& m);
// The queue's figures as measurements of r, when measured.
void MeasureReceiverQueue(CheckResult& r, const MediaObservation& m);

} // namespace tarvex::check

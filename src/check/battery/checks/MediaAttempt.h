// What the live-view and playback checks share: the messages of one media
// attempt and the judgement of the device's answer to its INVITE.
#pragma once

#include "check/battery/CheckResult.h"
#include "check/battery/Observation.h"

#include <optional>

namespace tarvex::check {

// Cites the attempt's INVITE and final answer (found by Call-ID), or notes the
// offer and answer texts when they are not among the messages.
void CiteCall(CheckResult& r, const Observation& obs, const MediaObservation& m);

// Fail or not supported when the INVITE was not answered 2xx with a well-formed
// SDP (and an RTP SSRC that matches its y=); nothing when the answer is good.
std::optional<CheckResult> JudgeAnswer(const Observation& obs, const MediaObservation& m,
                                       bool history);

} // namespace tarvex::check

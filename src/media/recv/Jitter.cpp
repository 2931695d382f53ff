#include "media/recv/Jitter.h"

#include <cmath>

void JitterEstimate::SetClockRate(std::uint32_t clockRate) {
    const std::uint32_t rate = clockRate > 0 ? clockRate : 90000;
    if (rate != rate_) Reset();
    rate_ = rate;
}

void JitterEstimate::Reset() {
    have_ = false;
    jitter_ = 0;
    steps_ = 0;
}

void JitterEstimate::Add(std::uint32_t ssrc, std::uint32_t rtpTimestamp, Clock::time_point arrival) {
    if (have_ && ssrc != ssrc_) Reset();
    if (have_) {
        const double arrivalUnits =
            std::chrono::duration<double>(arrival - lastArrival_).count() * rate_;
        // The timestamp difference modulo 2^32, read as signed: a reordered
        // packet steps back.
        const auto sent = static_cast<double>(static_cast<std::int32_t>(rtpTimestamp - lastTimestamp_));
        const double d = arrivalUnits - sent;
        jitter_ += (std::fabs(d) - jitter_) / 16.0;
        ++steps_;
    }
    have_ = true;
    ssrc_ = ssrc;
    lastTimestamp_ = rtpTimestamp;
    lastArrival_ = arrival;
}

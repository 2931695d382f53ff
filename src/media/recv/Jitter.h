#pragma once
// Interarrival jitter of the followed stream (RFC 3550 section 6.4.1, the
// estimator of appendix A.8): for packets i-1 and i, D = (Ri - Ri-1) - (Si -
// Si-1), arrival R in units of the stream's RTP clock, timestamp S; then
// J += (|D| - J) / 16. Kept in floating point so that a small jitter of a
// 90 kHz stream does not round away. Packets of one frame share a timestamp
// and still count (as the RFC's receivers do). Another SSRC, or a clock rate
// change, starts afresh. Not thread-safe: the owner guards it.

#include <chrono>
#include <cstdint>

class JitterEstimate {
public:
    using Clock = std::chrono::steady_clock;

    explicit JitterEstimate(std::uint32_t clockRate = 90000) { SetClockRate(clockRate); }
    void SetClockRate(std::uint32_t clockRate);
    std::uint32_t ClockRate() const { return rate_; }
    void Add(std::uint32_t ssrc, std::uint32_t rtpTimestamp, Clock::time_point arrival);
    void Reset();
    // J in RTP clock units, and in milliseconds.
    double Units() const { return jitter_; }
    double Milliseconds() const { return jitter_ * 1000.0 / rate_; }
    bool Known() const { return steps_ > 0; }

private:
    std::uint32_t rate_ = 90000;
    bool have_ = false;
    std::uint32_t ssrc_ = 0;
    std::uint32_t lastTimestamp_ = 0;
    Clock::time_point lastArrival_{};
    double jitter_ = 0;
    std::uint64_t steps_ = 0;
};

#pragma once
// Measures the dominant tone of decoded audio: the Goertzel power of a
// Hann-windowed second of samples, scanned at 5 Hz steps between 50 Hz and
// just under half the rate, then refined at 0.1 Hz steps around the peak.

#include "media/audio/AudioStages.h"

#include <cstddef>
#include <deque>

namespace tvaudio {

// Goertzel power of one frequency over samples (any window applied first).
double GoertzelPower(const double* samples, std::size_t count, double rate, double hz);

class ToneMeter final : public Sink<PcmBlock> {
public:
    // Keeps the newest windowSamples samples (of channel 0) of blocks that
    // are not silent (RMS 30 and up of 32768): a sender's silence after its
    // tone, or before it, leaves the measurement to the tone.
    explicit ToneMeter(std::size_t windowSamples = 8000) : window_(windowSamples) {}
    void Push(const PcmBlock& in) override;

    // Every sample pushed, silent or not.
    std::size_t SamplesSeen() const { return seen_; }
    int Rate() const { return rate_; }
    // The dominant frequency of the samples kept, 0 when fewer than a quarter
    // of a window came or they are silent.
    double Frequency() const;
    // Root mean square of the samples kept, full scale 32768.
    double Rms() const;

private:
    std::size_t window_;
    std::deque<int16_t> kept_;
    std::size_t seen_ = 0;
    int rate_ = 8000;
};

} // namespace tvaudio

#include "media/audio/ToneMeter.h"

#include <cmath>
#include <vector>

namespace tvaudio {

double GoertzelPower(const double* x, std::size_t n, double rate, double hz) {
    const double w = 2.0 * M_PI * hz / rate;
    const double c = 2.0 * std::cos(w);
    double s1 = 0, s2 = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double s0 = x[i] + c * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return s1 * s1 + s2 * s2 - c * s1 * s2;
}

void ToneMeter::Push(const PcmBlock& in) {
    if (in.channels <= 0) return;
    rate_ = in.rate;
    seen_ += in.Frames();
    double sum = 0;
    for (std::size_t i = 0; i < in.samples.size(); i += static_cast<std::size_t>(in.channels))
        sum += double(in.samples[i]) * in.samples[i];
    if (in.Frames() == 0 || std::sqrt(sum / double(in.Frames())) < 30) return;
    for (std::size_t i = 0; i < in.samples.size(); i += static_cast<std::size_t>(in.channels)) {
        kept_.push_back(in.samples[i]);
        if (kept_.size() > window_) kept_.pop_front();
    }
}

double ToneMeter::Rms() const {
    if (kept_.empty()) return 0;
    double sum = 0;
    for (int16_t s : kept_) sum += double(s) * s;
    return std::sqrt(sum / static_cast<double>(kept_.size()));
}

double ToneMeter::Frequency() const {
    const std::size_t n = kept_.size();
    if (n < window_ / 4 || n < 64 || Rms() < 30) return 0;
    std::vector<double> x(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double hann = 0.5 - 0.5 * std::cos(2.0 * M_PI * double(i) / double(n - 1));
        x[i] = kept_[i] * hann;
    }
    const double rate = rate_;
    double best = 0, bestPower = -1;
    for (double f = 50; f < rate / 2 - 10; f += 5) {
        const double p = GoertzelPower(x.data(), n, rate, f);
        if (p > bestPower) bestPower = p, best = f;
    }
    const double lo = best - 5, hi = best + 5;
    for (double f = lo; f <= hi; f += 0.1) {
        const double p = GoertzelPower(x.data(), n, rate, f);
        if (p > bestPower) bestPower = p, best = f;
    }
    return best;
}

} // namespace tvaudio

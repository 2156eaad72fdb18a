#include "rvc/polyphase_resampler.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>

namespace {

// Covers every standard rate from 8 kHz to 192 kHz to and from 16 kHz and 48 kHz, and 40 kHz to
// all of them but 11.025 kHz (441/1600); 40 kHz to 44.1 kHz is 441/400.
constexpr int kMaxRatioTerm = 1024;
// Keeps N = taps per phase x up well inside an int.
constexpr int kMaxTapsPerPhase = 1024;
constexpr double kCornerOfLowerRate = 0.46;
constexpr double kPi = 3.14159265358979323846;

}  // namespace

PolyphaseResampler::PolyphaseResampler(int inRate, int outRate, int tapsPerPhase) {
    if (inRate <= 0 || outRate <= 0) throw std::runtime_error("Resampler: unplausibles Verhältnis");
    const int g = std::gcd(inRate, outRate);
    up_ = outRate / g;
    down_ = inRate / g;
    if (up_ > kMaxRatioTerm || down_ > kMaxRatioTerm) {
        throw std::runtime_error("Resampler: unplausibles Verhältnis");
    }
    if (tapsPerPhase < 1 || tapsPerPhase > kMaxTapsPerPhase) {
        throw std::runtime_error("Resampler: unplausible Filterlänge");
    }
    length_ = tapsPerPhase * up_;

    // Cutoff in cycles per sample of the upsampled rate inRate * up.
    const double fc = std::min(inRate, outRate) * kCornerOfLowerRate / (double(inRate) * up_);
    taps_.resize(static_cast<size_t>(length_) + 1);
    for (int i = 0; i <= length_; ++i) {
        const double d = i - length_ * 0.5;
        double s = 2.0 * fc;
        if (d != 0.0) s = 2.0 * fc * std::sin(2.0 * kPi * fc * d) / (2.0 * kPi * fc * d);
        const double w = 0.5 - 0.5 * std::cos(2.0 * kPi * i / length_);
        taps_[i] = static_cast<float>(w * s);
    }
    // Unit DC gain for the branch through h[0], h[up], ...; the others come out close to it.
    double sum = 0.0;
    for (int i = 0; i <= length_; i += up_) sum += taps_[i];
    if (std::fabs(sum) > 1e-9) {
        const double gain = 1.0 / sum;
        for (float& t : taps_) t = static_cast<float>(t * gain);
    }
    history_.reserve(2 * static_cast<size_t>(length_) + 4096);
}

size_t PolyphaseResampler::push(const float* in, size_t n, std::vector<float>& out) {
    history_.insert(history_.end(), in, in + n);
    const int64_t half = length_ / 2;
    const int64_t lead = half / up_;     // K: inputs before the output's own time
    const int64_t span = length_ / up_;  // inputs per output, minus one
    const int64_t end = historyBase_ + static_cast<int64_t>(history_.size());
    size_t produced = 0;
    int64_t first;
    for (;;) {
        const int64_t p = outputCount_ * down_;
        const int64_t r = p % up_;
        first = p / up_ - lead;
        if (first + span >= end) break;
        // Input first + j meets tap offset + j * up; keep the taps in 0..N and the inputs at or
        // after the stream start (the history base only exceeds `first` there).
        const int64_t offset = half - lead * up_ - r;
        const int64_t jBegin = std::max<int64_t>(offset < 0 ? 1 : 0, historyBase_ - first);
        const int64_t jEnd = std::min(span, (length_ - offset) / up_);
        const float* h = taps_.data() + offset + jBegin * up_;
        const float* x = history_.data() + (first + jBegin - historyBase_);
        float y = 0.0f;
        for (int64_t j = jBegin; j <= jEnd; ++j, h += up_, ++x) y += *h * *x;
        out.push_back(y);
        ++outputCount_;
        ++produced;
    }
    // Erasing from the front keeps the reserved capacity.
    const int64_t drop =
        std::clamp<int64_t>(first - historyBase_, 0, static_cast<int64_t>(history_.size()));
    history_.erase(history_.begin(), history_.begin() + drop);
    historyBase_ += drop;
    return produced;
}

void PolyphaseResampler::reset() {
    history_.clear();
    historyBase_ = 0;
    outputCount_ = 0;
}

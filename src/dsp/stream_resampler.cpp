#include "dsp/stream_resampler.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>

namespace {

// The filter spans 120 frames of the lower rate: a transition from 90 % to 100 % of the lower
// Nyquist frequency with a Kaiser window of beta 9.4 leaves about 94 dB of stopband.
constexpr int kHalfWidthAtLowerRate = 60;
constexpr double kCutoff = 0.475;  // of the lower rate: halfway through the transition
constexpr double kBeta = 9.4;
// Rows per input frame where the kernel is as narrow as it gets; linear interpolation between
// rows then errs by about 1e-6 per coefficient.
constexpr int kPhasesAtFullBand = 1024;
// Headroom for a step above the nominal one (a clock followed to 1000 ppm).
constexpr double kStepHeadroom = 1.001;
// The dot products run in this many lanes, so that the compiler keeps them in vector registers
// without reordering a sum.
constexpr int kLanes = 8;

double besselI0(double x) {
    double sum = 1.0, term = 1.0;
    for (int k = 1; k < 50; ++k) {
        term *= (x / (2.0 * k)) * (x / (2.0 * k));
        sum += term;
        if (term < sum * 1e-17) break;
    }
    return sum;
}

}  // namespace

void StreamResampler::prepare(int inRate, int outRate, int channels, int maxFrames) {
    if (inRate < 1000 || inRate > 1000000 || outRate < 1000 || outRate > 1000000 || channels < 1 ||
        maxFrames < 1)
        throw std::invalid_argument("StreamResampler: Rate, Kanäle oder Blockgröße ungültig");
    channels_ = channels;
    nominalStep_ = static_cast<double>(inRate) / outRate;
    // Below 1 when the output is the lower rate: the kernel widens by its inverse.
    const double scale = std::min(1.0, 1.0 / nominalStep_);
    half_ = static_cast<int>(std::ceil(kHalfWidthAtLowerRate / scale));
    half_ += (kLanes / 2 - half_ % (kLanes / 2)) % (kLanes / 2);
    taps_ = 2 * half_;
    phases_ = 128;
    while (phases_ < kPhasesAtFullBand * scale) phases_ *= 2;

    // Row p holds the kernel at p / phases + half - 1 - k for the taps k = 0 .. taps - 1, so that
    // an output at fraction f after input frame n weighs frame n - half + 1 + k.
    table_.assign(static_cast<size_t>(phases_ + 1) * taps_, 0.0f);
    const double fc = kCutoff * scale;
    const double i0Beta = besselI0(kBeta);
    std::vector<double> values(taps_);
    for (int p = 0; p <= phases_; ++p) {
        float* row = &table_[static_cast<size_t>(p) * taps_];
        double sum = 0.0;
        for (int k = 0; k < taps_; ++k) {
            const double x = static_cast<double>(p) / phases_ + half_ - 1 - k;
            const double u = x / half_;
            const double window =
                std::abs(u) < 1.0 ? besselI0(kBeta * std::sqrt(1.0 - u * u)) / i0Beta : 0.0;
            const double arg = 2.0 * fc * x;
            const double sinc =
                arg == 0.0 ? 1.0 : std::sin(std::numbers::pi * arg) / (std::numbers::pi * arg);
            values[k] = 2.0 * fc * sinc * window;
            sum += values[k];
        }
        // Each row passes a constant unchanged.
        for (int k = 0; k < taps_; ++k) row[k] = static_cast<float>(values[k] / sum);
    }
    coefficients_.assign(taps_, 0.0f);
    history_.assign(channels_,
                    std::vector<float>(static_cast<size_t>(taps_ + mostInputFor(maxFrames)), 0.0f));
    reset();
}

int StreamResampler::mostInputFor(int outFrames) const {
    return static_cast<int>(std::ceil(outFrames * nominalStep_ * kStepHeadroom)) + 2;
}

void StreamResampler::reset() {
    for (std::vector<float>& h : history_) std::fill(h.begin(), h.end(), 0.0f);
    // Silence under all but the newest tap: the first input frame is heard half a filter later.
    have_ = taps_ - 1;
    position_ = half_ - 1;
}

int StreamResampler::inputFor(int outFrames, double step) const {
    if (outFrames < 1) return 0;
    const double last = position_ + (outFrames - 1) * step;
    return std::max(0, static_cast<int>(std::floor(last)) + half_ + 1 - have_);
}

void StreamResampler::process(const float* in, float* out, int outFrames, double step) {
    const int fresh = inputFor(outFrames, step);
    for (int c = 0; c < channels_; ++c) {
        float* h = history_[c].data() + have_;
        for (int i = 0; i < fresh; ++i) h[i] = in[i * channels_ + c];
    }
    have_ += fresh;

    float* coefficients = coefficients_.data();
    for (int o = 0; o < outFrames; ++o) {
        const double whole = std::floor(position_);
        const double where = (position_ - whole) * phases_;
        const int p = std::min(static_cast<int>(where), phases_ - 1);
        const float a = static_cast<float>(where - p);
        const float* row = &table_[static_cast<size_t>(p) * taps_];
        const float* next = row + taps_;
        for (int k = 0; k < taps_; ++k) coefficients[k] = row[k] + a * (next[k] - row[k]);
        const int start = static_cast<int>(whole) - half_ + 1;
        for (int c = 0; c < channels_; ++c) {
            const float* x = history_[c].data() + start;
            float lanes[kLanes] = {};
            for (int k = 0; k < taps_; k += kLanes) {
                for (int j = 0; j < kLanes; ++j) lanes[j] += coefficients[k + j] * x[k + j];
            }
            float sum = 0.0f;
            for (float lane : lanes) sum += lane;
            out[o * channels_ + c] = sum;
        }
        position_ += step;
    }

    // Keep what the next outputs still reach back to.
    const int keepFrom = std::max(0, static_cast<int>(std::floor(position_)) - half_ + 1);
    for (std::vector<float>& h : history_) {
        std::copy(h.begin() + keepFrom, h.begin() + have_, h.begin());
    }
    have_ -= keepFrom;
    position_ -= keepFrom;
}

#include "engine/output_feed.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// Clock following: a PI controller on the ring's fill, averaged over about two seconds, sets the
// conversion ratio's deviation from nominal. Natural frequency 0.05 rad/s, critically damped: a
// new drift settles within two minutes and moves the fill by about a millisecond meanwhile; the
// sawtooth of blocks coming and going moves the ratio by a ppm at most.
constexpr double kAverageSeconds = 2.0;
constexpr double kProportional = 0.1;  // per second of fill error
constexpr double kIntegral = 0.0025;   // per second of fill error and second of time
constexpr double kMaxRatio = 500e-6;   // the clocks of real devices differ by far less
// The cushion: what the ring should hold when the output asks, counted as if blocks came
// continuously; it starts at one request and a margin. It grows by a step when the output ran
// dry and shrinks by a smaller step after a quiet stretch that had room for it, down to its start.
constexpr double kStartMarginMs = 2.0;
constexpr double kGrowMs = 2.0;
constexpr double kShrinkMs = 0.5;
constexpr double kQuietSeconds = 60.0;
constexpr double kMaxMarginMs = 100.0;
// Beyond a capture block and a request above the cushion, what the ring may hold before it
// counts as a stall.
constexpr double kStallMarginMs = 20.0;

// Channel layouts meet by index: with fewer output channels each takes the average of the input
// channels that fold onto it (i modulo the output count), with more each repeats input channel
// j modulo the input count. Mono therefore reaches every channel, and stereo folds to mono as
// the mean of both.
void mapChannels(const float* in, int inChannels, float* out, int outChannels, int frames) {
    if (inChannels == outChannels) {
        std::copy_n(in, static_cast<size_t>(frames) * inChannels, out);
        return;
    }
    for (int f = 0; f < frames; ++f, in += inChannels, out += outChannels) {
        if (outChannels > inChannels) {
            for (int c = 0; c < outChannels; ++c) out[c] = in[c % inChannels];
            continue;
        }
        for (int c = 0; c < outChannels; ++c) {
            float sum = 0.0f;
            int count = 0;
            for (int i = c; i < inChannels; i += outChannels, ++count) sum += in[i];
            out[c] = sum / static_cast<float>(count);
        }
    }
}

}  // namespace

void OutputFeed::prepare(int engineRate, int engineChannels, double capturePeriodMs,
                         const Format& out, Clock clock) {
    clock_ = clock;
    capturePeriod_ = capturePeriodMs / 1000.0;
    engineRate_ = engineRate;
    engineChannels_ = engineChannels;
    out_ = out;
    convertedChannels_ = std::min(engineChannels, out.channels);
    const int piece = std::max(out.maxFrames, 1);
    resampler_.prepare(engineRate, out.rate, convertedChannels_, piece);
    const int mostInput = resampler_.mostInputFor(piece);
    input_.assign(static_cast<size_t>(mostInput) * engineChannels, 0.0f);
    mapped_.assign(static_cast<size_t>(mostInput) * convertedChannels_, 0.0f);
    converted_.assign(static_cast<size_t>(piece) * convertedChannels_, 0.0f);

    const double framesPerMs = engineRate / 1000.0;
    captureFrames_ = capturePeriodMs * framesPerMs;
    requestFrames_ = out.periodMs * framesPerMs;
    baseCushion_ = requestFrames_ + kStartMarginMs * framesPerMs;
    cushion_ = baseCushion_;
    averageFill_ = integral_ = ratio_ = quietSeconds_ = 0.0;
    leastSlack_ = std::numeric_limits<double>::infinity();
    priming_ = true;
    playing_ = false;
    delayMs_ = resampler_.delayFrames() / framesPerMs;
    cushionMs_ = cushion_ / framesPerMs;
    ratioPpm_ = 0.0;
    ready_.store(true, std::memory_order_release);
}

double OutputFeed::queuedMs() const {
    return static_cast<double>(ring_.fill()) * 1000.0 /
           (static_cast<double>(engineRate_) * engineChannels_);
}

int OutputFeed::render(float* out, int frames, int channels, uint32_t serverUnderruns) {
    if (!ready()) {
        std::fill_n(out, static_cast<size_t>(frames) * channels, 0.0f);
        return frames;  // nothing was captured yet: no underrun
    }
    // The stream ran dry by itself (data came late): more cushion, as after a short callback.
    if (serverUnderruns != serverUnderruns_) {
        serverUnderruns_ = serverUnderruns;
        if (!priming_) adjustCushion(0.0, true, 0.0);
    }
    int delivered = 0;
    for (int done = 0; done < frames;) {
        const int n = std::min(frames - done, std::max(out_.maxFrames, 1));
        delivered += renderPiece(out + static_cast<size_t>(done) * out_.channels, n);
        done += n;
    }
    return delivered;
}

// The ring's fill in frames, less what the capture side delivered ahead of time: a block comes
// all at once but stands for a whole period. Between two blocks this falls steadily instead of
// in steps, so that the rate at which two clocks drift apart shows at once.
double OutputFeed::level(size_t fill) const {
    const double age = clock_() - lastWrite_.load(std::memory_order_acquire);
    return static_cast<double>(fill / engineChannels_) -
           captureFrames_ * std::clamp(1.0 - age / capturePeriod_, 0.0, 1.0);
}

int OutputFeed::renderPiece(float* out, int frames) {
    const double seconds = static_cast<double>(frames) / out_.rate;
    double fill = level(ring_.fill());
    if (priming_) {
        // Until the ring holds the cushion the output plays silence on purpose; then it starts
        // from the cushion exactly. The first time the clock following starts from rest with
        // it; after running dry it goes on where it was.
        if (fill < cushion_) {
            std::fill_n(out, static_cast<size_t>(frames) * out_.channels, 0.0f);
            return frames;
        }
        ring_.read(nullptr, static_cast<size_t>(fill - cushion_) * engineChannels_);
        fill = cushion_;
        if (!playing_) averageFill_ = target_ = cushion_;
        priming_ = false;
        playing_ = true;
    }
    // A stall piled up far more than jitter ever brings: drop back to the cushion at once, and
    // count it.
    if (fill > cushion_ + captureFrames_ + requestFrames_ + kStallMarginMs * engineRate_ / 1000.0) {
        const size_t drop = static_cast<size_t>(fill - cushion_);
        dropped_.fetch_add(ring_.read(nullptr, drop * engineChannels_) / engineChannels_,
                           std::memory_order_relaxed);
        fill = averageFill_ = target_ = cushion_;
    }

    // The target follows a changed cushion as slowly as the fill is averaged, so that the ratio
    // never jumps.
    const double smoothing = std::min(1.0, seconds / kAverageSeconds);
    averageFill_ += smoothing * (fill - averageFill_);
    target_ += smoothing * (cushion_ - target_);
    const double error = (averageFill_ - target_) / engineRate_;
    const double windup = kMaxRatio / kIntegral;
    integral_ = std::clamp(integral_ + error * seconds, -windup, windup);
    ratio_ = std::clamp(kProportional * error + kIntegral * integral_, -kMaxRatio, kMaxRatio);
    const double step = resampler_.nominalStep() * (1.0 + ratio_);

    const int need = resampler_.inputFor(frames, step);
    const size_t want = static_cast<size_t>(need) * engineChannels_;
    const double slack = static_cast<double>(ring_.fill() / engineChannels_) - need;
    const size_t got = ring_.read(input_.data(), want);
    std::fill(input_.begin() + static_cast<long>(got), input_.begin() + static_cast<long>(want),
              0.0f);
    if (out_.channels < engineChannels_) {
        mapChannels(input_.data(), engineChannels_, mapped_.data(), convertedChannels_, need);
        resampler_.process(mapped_.data(), out, frames, step);
    } else if (out_.channels == engineChannels_) {
        resampler_.process(input_.data(), out, frames, step);
    } else {
        resampler_.process(input_.data(), converted_.data(), frames, step);
        mapChannels(converted_.data(), convertedChannels_, out, out_.channels, frames);
    }

    const bool ranDry = got < want;
    adjustCushion(seconds, ranDry, slack);
    cushionMs_.store(cushion_ * 1000.0 / engineRate_, std::memory_order_relaxed);
    ratioPpm_.store(ratio_ * 1e6, std::memory_order_relaxed);
    if (!ranDry) return frames;
    // Wait for the cushion again rather than run dry at every block.
    priming_ = true;
    return static_cast<int>(static_cast<double>(frames) * static_cast<double>(got) / want);
}

void OutputFeed::adjustCushion(double seconds, bool ranDry, double slack) {
    const double framesPerMs = engineRate_ / 1000.0;
    if (ranDry) {
        cushion_ =
            std::min(cushion_ + kGrowMs * framesPerMs, baseCushion_ + kMaxMarginMs * framesPerMs);
        quietSeconds_ = 0.0;
        leastSlack_ = std::numeric_limits<double>::infinity();
        return;
    }
    quietSeconds_ += seconds;
    leastSlack_ = std::min(leastSlack_, slack);
    // Lower only what the whole stretch never needed, so that trying less rarely runs dry.
    if (quietSeconds_ >= kQuietSeconds) {
        if (leastSlack_ > 2 * kShrinkMs * framesPerMs) {
            cushion_ = std::max(baseCushion_, cushion_ - kShrinkMs * framesPerMs);
        }
        quietSeconds_ = 0.0;
        leastSlack_ = std::numeric_limits<double>::infinity();
    }
}

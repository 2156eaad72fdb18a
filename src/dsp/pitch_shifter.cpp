#include "dsp/pitch_shifter.h"
#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <stdexcept>

namespace {

constexpr float kTwoPi = 6.2831855f;
constexpr float kInputLimit = 1e6f;

PhaseVocoderHop hopOf(PitchShifter::Form form) {
#ifdef KW_VOCODER_AVX2
    if (form == PitchShifter::Form::kAvx2Fma) return vocoder_avx2::hop;
#else
    (void)form;
#endif
    return vocoder_baseline::hop;
}

}  // namespace

bool PitchShifter::runs(Form form) {
    if (form == Form::kBaseline) return true;
#ifdef KW_VOCODER_AVX2
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
    return false;
#endif
}

PitchShifter::Form PitchShifter::bestForm() {
    static const Form best = runs(Form::kAvx2Fma) ? Form::kAvx2Fma : Form::kBaseline;
    return best;
}

PitchShifter::PitchShifter(int frameSize, int osamp, float sampleRate, Form form)
    : n_(frameSize), osamp_(osamp), sampleRate_(sampleRate) {
    if (frameSize < 4 || (frameSize & (frameSize - 1)) != 0)
        throw std::invalid_argument("PitchShifter: Framegröße muss eine Zweierpotenz ab 4 sein");
    if (osamp < 1 || osamp > frameSize)
        throw std::invalid_argument(
            "PitchShifter: Oversampling muss zwischen 1 und der Framegröße liegen");
    if (!(sampleRate > 0.0f) || !std::isfinite(sampleRate))
        throw std::invalid_argument("PitchShifter: Samplerate muss positiv sein");
    const int half = n_ / 2;
    inFifo_.assign(n_, 0.0f);
    outFifo_.assign(n_, 0.0f);
    outAccum_.assign(n_, 0.0f);
    lastPhase_.assign(half + 1, 0.0f);
    phaseSum_.assign(half + 1, 0.0f);
    anaFreq_.assign(half + 1, 0.0f);
    anaMagn_.assign(half + 1, 0.0f);
    synFreq_.assign(half + 1, 0.0f);
    synMagn_.assign(half + 1, 0.0f);
    specRe_.assign(half + 1, 0.0f);
    specIm_.assign(half + 1, 0.0f);
    workRe_.assign(n_, 0.0f);
    workIm_.assign(n_, 0.0f);
    packRe_.assign(half, 0.0f);
    packIm_.assign(half, 0.0f);

    std::vector<float> hann(n_);
    olaWindow_.resize(n_);
    for (int k = 0; k < n_; ++k) {
        hann[k] = 0.5f - 0.5f * std::cos(kTwoPi * static_cast<float>(k) / static_cast<float>(n_));
        // Overlap-add gain is 2 / ((N/2) O); the synthesis transform delivers twice the frame.
        olaWindow_[k] = hann[k] / static_cast<float>(half * osamp_);
    }
    // Stage with half span h uses e^(-i pi j / h), j < h, stored at h + j.
    twiddleRe_.assign(n_, 1.0f);
    twiddleIm_.assign(n_, 0.0f);
    for (int h = 1; h < n_; h *= 2) {
        for (int j = 0; j < h; ++j) {
            const double a = std::numbers::pi * j / h;
            twiddleRe_[h + j] = static_cast<float>(std::cos(a));
            twiddleIm_[h + j] = static_cast<float>(-std::sin(a));
        }
    }
    bitReverse_.resize(n_);
    for (int i = 0; i < n_; ++i) {
        int r = 0;
        for (int bit = 1, top = n_ >> 1; bit < n_; bit <<= 1, top >>= 1)
            if (i & bit) r |= top;
        bitReverse_[i] = r;
    }
    window_.resize(n_);
    for (int i = 0; i < half; ++i) {
        const int r = bitReverse_[i] >> 1;
        window_[i] = hann[2 * r];
        window_[half + i] = hann[2 * r + 1];
    }
    if (!runs(form)) form = Form::kBaseline;
    hop_ = hopOf(form);
    frame_ = {n_,
              osamp_,
              sampleRate_,
              inFifo_.data(),
              outFifo_.data(),
              outAccum_.data(),
              lastPhase_.data(),
              phaseSum_.data(),
              anaFreq_.data(),
              anaMagn_.data(),
              synFreq_.data(),
              synMagn_.data(),
              specRe_.data(),
              specIm_.data(),
              workRe_.data(),
              workIm_.data(),
              packRe_.data(),
              packIm_.data(),
              window_.data(),
              olaWindow_.data(),
              twiddleRe_.data(),
              twiddleIm_.data(),
              bitReverse_.data()};
}

void PitchShifter::reset() {
    std::fill(inFifo_.begin(), inFifo_.end(), 0.0f);
    std::fill(outFifo_.begin(), outFifo_.end(), 0.0f);
    std::fill(outAccum_.begin(), outAccum_.end(), 0.0f);
    std::fill(lastPhase_.begin(), lastPhase_.end(), 0.0f);
    std::fill(phaseSum_.begin(), phaseSum_.end(), 0.0f);
    rover_ = 0;
}

void PitchShifter::process(float ratio, const float* in, float* out, int n) {
    if (n <= 0) return;
    if (!(ratio > 0.02f)) ratio = 0.02f;  // also catches NaN
    // Beyond N/2 no source bin above 1 stays in the spectrum; the cap keeps k * ratio an int.
    ratio = std::min(ratio, static_cast<float>(n_ / 2));
    if (std::fabs(ratio - 1.0f) < 0.0001f) {
        if (in != out) std::memmove(out, in, static_cast<size_t>(n) * sizeof(float));
        return;
    }
    const int latency = n_ - n_ / osamp_;
    if (rover_ == 0) rover_ = latency;
    for (int i = 0; i < n; ++i) {
        // Non-finite or absurd input would overflow the spectrum and leave NaN in the phase
        // state for good; it is taken as silence.
        inFifo_[rover_] = std::fabs(in[i]) < kInputLimit ? in[i] : 0.0f;
        out[i] = outFifo_[rover_ - latency];
        if (++rover_ < n_) continue;
        rover_ = latency;
        hop_(frame_, ratio);
    }
}

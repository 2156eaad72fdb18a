#include "dsp/dsp_chain.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr int kFrameSize = 1024;
constexpr int kOversampling = 8;
constexpr float kNoShiftTolerance = 0.0001f;
constexpr float kOutputLimit = 1.5f;

// A non-finite sample would poison the filter states and the shifters' phases for good; it
// enters as the value the output limit would give it (NaN as 0), so a default chain stays a
// plain clip.
inline float finiteSample(float x) {
    return std::fabs(x) <= std::numeric_limits<float>::max() ? x : limitSample(x, kOutputLimit);
}

}  // namespace

bool DspChain::shifting() const {
    return std::fabs(params_.pitchRatio - 1.0f) >= kNoShiftTolerance;
}

void DspChain::init(int channels, float sampleRate) {
    channels_ = std::clamp(channels, 0, kMaxChannels);
    sampleRate_ = sampleRate;
    shifters_.clear();
    for (int c = 0; c < channels_; ++c) {
        shifters_.push_back(std::make_unique<PitchShifter>(kFrameSize, kOversampling, sampleRate_));
    }
    scratchIn_.assign(kMaxPitchFrames, 0.0f);
    scratchOut_.assign(kMaxPitchFrames, 0.0f);
    setParams(params_);
}

void DspChain::setParams(const DspParams& p) {
    params_ = p;
    ring_.set(p.ringHz, p.ringMix, sampleRate_);
    for (Biquad* f : {&shelf_, &highPass_, &lowPass_}) {
        f->reset();
        f->channels = channels_;
        f->active = false;
    }
    if (std::fabs(p.formant) > 0.05f) {
        shelf_.set(Biquad::HighShelf, 3000.0f, 0.707f, p.formant, sampleRate_);
    }
    if (p.highpassHz > 1.0f) {
        highPass_.set(Biquad::HighPass, p.highpassHz, 0.707f, 0.0f, sampleRate_);
    }
    if (p.lowpassHz > 1.0f) {
        lowPass_.set(Biquad::LowPass, p.lowpassHz, 0.707f, 0.0f, sampleRate_);
    }
    echo_.set(p.echoMix, p.echoMs, p.echoFeedback, channels_, sampleRate_);
    reverb_.set(p.reverbMix, channels_, sampleRate_);
    if (!shifting()) {
        for (auto& s : shifters_) s->reset();
    }
}

void DspChain::process(float* block, int frames) {
    if (frames <= 0 || channels_ <= 0) return;
    const int width = channels_;

    // Before init the scratch buffers are empty, so the pitch stage is skipped as well.
    if (shifting() && frames <= static_cast<int>(scratchIn_.size())) {
        for (int c = 0; c < width; ++c) {
            for (int i = 0; i < frames; ++i) scratchIn_[i] = finiteSample(block[i * width + c]);
            shifters_[c]->process(params_.pitchRatio, scratchIn_.data(), scratchOut_.data(),
                                  frames);
            for (int i = 0; i < frames; ++i) block[i * width + c] = scratchOut_[i];
        }
    }

    // The stage choice is fixed for the whole block.
    const bool ring = ring_.active, shelf = shelf_.active, highPass = highPass_.active,
               lowPass = lowPass_.active, echo = echo_.active, reverb = reverb_.active;
    const bool drive = params_.drive > 0.01f;
    const float driveFactor = params_.drive;
    const float gain = params_.gain;
    float* sample = block;
    for (int i = 0; i < frames; ++i) {
        for (int c = 0; c < width; ++c, ++sample) {
            float x = finiteSample(*sample);
            if (ring) x = ring_.tick(x);
            if (shelf) x = shelf_.tick(x, c);
            if (highPass) x = highPass_.tick(x, c);
            if (lowPass) x = lowPass_.tick(x, c);
            if (drive) x = std::tanh(driveFactor * x);
            if (echo) x = echo_.tick(x, c);
            if (reverb) x = reverb_.tick(x, c);
            x = x * gain;
            *sample = limitSample(x, kOutputLimit);
        }
    }
}

void DspChain::reset() {
    for (auto& s : shifters_) s->reset();
    // setParams clears the filters, the ring oscillator and the echo and reverb lines.
    setParams(params_);
}

int DspChain::latencySamples() const {
    if (!shifting() || shifters_.empty()) return 0;
    const PitchShifter& s = *shifters_.front();
    return s.frameSize() - s.frameSize() / s.oversampling();
}

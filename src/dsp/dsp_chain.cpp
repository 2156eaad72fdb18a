#include "dsp/dsp_chain.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr int kFrameSize = 1024;
constexpr int kOversampling = 8;
constexpr float kNoShiftTolerance = 0.0001f;
constexpr float kOutputLimit = 1.5f;
// How long a changed gain or mix takes to reach its new value.
constexpr float kGlideSeconds = 0.01f;

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

void DspChain::setFilters(const DspParams& p, bool keepState) {
    const auto apply = [&](Biquad& f, bool on, Biquad::Type type, float f0, float gainDb) {
        const Biquad before = f;
        f.reset();
        f.channels = channels_;
        f.active = false;
        if (on) f.set(type, f0, 0.707f, gainDb, sampleRate_);
        if (keepState && before.active && f.active) {
            std::copy(std::begin(before.z1), std::end(before.z1), std::begin(f.z1));
            std::copy(std::begin(before.z2), std::end(before.z2), std::begin(f.z2));
        }
    };
    apply(shelf_, std::fabs(p.formant) > 0.05f, Biquad::HighShelf, 3000.0f, p.formant);
    apply(highPass_, p.highpassHz > 1.0f, Biquad::HighPass, p.highpassHz, 0.0f);
    apply(lowPass_, p.lowpassHz > 1.0f, Biquad::LowPass, p.lowpassHz, 0.0f);
}

void DspChain::setParams(const DspParams& p) {
    params_ = p;
    ring_.set(p.ringHz, p.ringMix, sampleRate_);
    setFilters(p, false);
    echo_.set(p.echoMix, p.echoMs, p.echoFeedback, channels_, sampleRate_);
    reverb_.set(p.reverbMix, channels_, sampleRate_);
    ringMix_.reset(p.ringMix);
    drive_.reset(p.drive);
    echoMix_.reset(p.echoMix);
    reverbMix_.reset(p.reverbMix);
    gain_.reset(p.gain);
    if (!shifting()) {
        for (auto& s : shifters_) s->reset();
    }
}

void DspChain::update(const DspParams& next) {
    const DspParams before = params_;
    params_ = next;
    params_.echoMs = before.echoMs;
    const int glide = std::max(1, static_cast<int>(sampleRate_ * kGlideSeconds));
    // A stage that starts sounding glides in from silence; its lines start from silence too.
    const auto glideMix = [glide](SmoothedValue& mix, float target, bool wasOn, bool isOn) {
        if (isOn && !wasOn) mix.reset(0.0f);
        mix.setTarget(isOn ? target : 0.0f, glide);
    };
    ring_.increment = next.ringHz / sampleRate_;
    glideMix(ringMix_, next.ringMix, before.ringHz > 0.01f && before.ringMix > 0.001f,
             next.ringHz > 0.01f && next.ringMix > 0.001f);
    setFilters(next, true);
    // Drive below its threshold is no stage at all, so only a change between two drives glides.
    if (before.drive > 0.01f && next.drive > 0.01f) {
        drive_.setTarget(next.drive, glide);
    } else {
        drive_.reset(next.drive);
    }
    echo_.feedback = next.echoFeedback;
    if (next.echoMix > 0.001f && !(before.echoMix > 0.001f)) echo_.clear();
    glideMix(echoMix_, next.echoMix, before.echoMix > 0.001f, next.echoMix > 0.001f);
    if (next.reverbMix > 0.001f && !(before.reverbMix > 0.001f)) reverb_.clear();
    glideMix(reverbMix_, next.reverbMix, before.reverbMix > 0.001f, next.reverbMix > 0.001f);
    gain_.setTarget(next.gain, glide);
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

    // The stage choice is fixed for the whole block; a stage gliding out still runs.
    const auto sounding = [](const SmoothedValue& mix) {
        return mix.target() > 0.001f || mix.gliding();
    };
    Stages stages;
    stages.ring = params_.ringHz > 0.01f && sounding(ringMix_);
    stages.echo = echo_.delay > 8 && sounding(echoMix_);
    stages.reverb = sounding(reverbMix_);
    stages.drive = drive_.target() > 0.01f;
    // Most blocks change nothing: they take the values once instead of every frame.
    if (ringMix_.gliding() || drive_.gliding() || echoMix_.gliding() || reverbMix_.gliding() ||
        gain_.gliding()) {
        runStages<true>(block, frames, stages);
    } else {
        runStages<false>(block, frames, stages);
    }
}

template <bool kGliding>
void DspChain::runStages(float* __restrict block, int frames, Stages stages) {
    const int width = channels_;
    const bool shelf = shelf_.active, highPass = highPass_.active, lowPass = lowPass_.active;
    ring_.mix = ringMix_.current();
    echo_.mix = echoMix_.current();
    reverb_.mix = reverbMix_.current();
    float driveFactor = drive_.current();
    float gain = gain_.current();
    float* sample = block;
    for (int i = 0; i < frames; ++i) {
        if constexpr (kGliding) {
            ring_.mix = ringMix_.next();
            echo_.mix = echoMix_.next();
            reverb_.mix = reverbMix_.next();
            driveFactor = drive_.next();
            gain = gain_.next();
        }
        for (int c = 0; c < width; ++c, ++sample) {
            float x = finiteSample(*sample);
            if (stages.ring) x = ring_.tick(x);
            if (shelf) x = shelf_.tick(x, c);
            if (highPass) x = highPass_.tick(x, c);
            if (lowPass) x = lowPass_.tick(x, c);
            if (stages.drive) x = tanhApprox(driveFactor * x);
            if (stages.echo) x = echo_.tick(x, c);
            if (stages.reverb) x = reverb_.tick(x, c);
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

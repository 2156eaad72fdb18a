// The DSP voice effect: pitch shift, ring modulation, formant shelf, high-pass, low-pass, drive,
// echo, reverb and output gain over interleaved float blocks, configured by one DspParams record.
#pragma once

#include <memory>
#include <vector>

#include "dsp/effect_units.h"
#include "dsp/pitch_shifter.h"
#include "dsp/smoothed_value.h"

// A default record is the neutral voice.
struct DspParams {
    float pitchRatio = 1.0f;  // no shift within 0.0001 of 1
    float formant = 0.0f;     // dB of a high shelf at 3000 Hz; off unless |value| > 0.05
    float ringHz = 0.0f;
    float ringMix = 0.0f;
    float highpassHz = 0.0f;  // off unless above 1
    float lowpassHz = 0.0f;   // off unless above 1
    float drive = 0.0f;       // tanh saturation; off unless above 0.01
    float echoMix = 0.0f;
    float echoMs = 280.0f;
    float echoFeedback = 0.35f;
    float reverbMix = 0.0f;
    float gain = 1.0f;

    bool operator==(const DspParams&) const = default;
};

class DspChain {
  public:
    static constexpr int kMaxChannels = Biquad::kMaxChannels;
    // Larger blocks skip the pitch stage: the scratch buffers are sized once, outside the audio
    // path.
    static constexpr int kMaxPitchFrames = 8192;

    // More than kMaxChannels are clamped to kMaxChannels, fewer than 0 to 0; process then reads
    // blocks with the clamped count as their frame width. With 0 channels process does nothing.
    void init(int channels, float sampleRate);
    // Applies a whole record from scratch: every filter state, the ring oscillator and the echo
    // and reverb lines restart. May allocate; not for the audio thread.
    void setParams(const DspParams& p);
    // Audio thread: takes a changed record without allocating and without cutting what sounds:
    // filters keep their state, the oscillator its phase, echo and reverb their tails, and gain
    // and mixes glide to their new values. The echo delay stays as setParams sized it.
    void update(const DspParams& p);
    // In place on `frames` interleaved frames. Never allocates.
    void process(float* block, int frames);
    void reset();
    int latencySamples() const;

    const DspParams& params() const { return params_; }
    int channels() const { return channels_; }

  private:
    struct Stages {
        bool ring = false, drive = false, echo = false, reverb = false;
    };
    template <bool kGliding>
    void runStages(float* __restrict block, int frames, Stages stages);
    bool shifting() const;
    void setFilters(const DspParams& p, bool keepState);

    DspParams params_;
    int channels_ = 2;
    float sampleRate_ = 48000.0f;
    std::vector<std::unique_ptr<PitchShifter>> shifters_;
    std::vector<float> scratchIn_;
    std::vector<float> scratchOut_;
    RingMod ring_;
    Biquad shelf_;
    Biquad highPass_;
    Biquad lowPass_;
    Echo echo_;
    Reverb reverb_;
    // What process applies frame by frame; their targets follow params_.
    SmoothedValue ringMix_;
    SmoothedValue drive_;
    SmoothedValue echoMix_;
    SmoothedValue reverbMix_;
    SmoothedValue gain_;
};

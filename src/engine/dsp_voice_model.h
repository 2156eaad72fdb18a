// A DSP preset as a voice: the effect chain, configured by name, tuned by named parameters that
// reach the audio thread as whole records it takes itself.
#pragma once

#include "dsp/dsp_chain.h"
#include "voice/latest_value.h"
#include "voice/voice_model.h"

class DspVoiceModel : public VoiceModel {
  public:
    bool load(const std::string& name, std::string& err) override;
    void init(int channels, float sampleRate) override;
    void process(float* buf, int frames) override;
    int latencySamples() const override { return latency_.load(std::memory_order_relaxed); }
    std::string kind() const override { return "dsp"; }
    std::string current() const override { return name_; }
    bool setParam(const std::string& name, double value, std::string& err) override;
    bool wantsEffectsAfter() const override { return false; }

  private:
    DspChain chain_;                  // capture thread once the voice sounds
    DspParams control_;               // command thread: the record as the parameters set it
    LatestValue<DspParams> pending_;  // command thread to capture thread
    std::atomic<int> latency_{0};     // written by whichever thread changes the ratio
    std::string name_ = "original";   // command thread
};

// Changes one field of a parameter record by its protocol name; false with err for an unknown
// name.
bool applyDspParam(DspParams& params, const std::string& name, double value, std::string& err);

// A DSP preset run by the effect chain.
#pragma once

#include "dsp/dsp_chain.h"
#include "engine/voice_model.h"

class DspVoiceModel : public VoiceModel {
  public:
    bool load(const std::string& name, std::string& err) override;
    void process(float* buf, int frames) override { chain.process(buf, frames); }
    void init(int channels, float sampleRate) override { chain.init(channels, sampleRate); }
    int latencySamples() const override { return chain.latencySamples(); }
    std::string kind() const override { return "dsp"; }
    std::string current() const override { return name; }

    DspChain chain;
    std::string name = "original";
};

// The neural voices the engine offers: voice files of the model directory, run as OnnxRvcModel.
#pragma once

#include "engine/neural_voices.h"

class OnnxVoices : public NeuralVoices {
  public:
    bool isVoice(const std::string& dir, const std::string& name) const override;
    std::vector<std::string> list(const std::string& dir) const override;
    std::unique_ptr<VoiceModel> load(const std::string& dir, const std::string& name, int channels,
                                     float sampleRate, std::string& err) const override;
};

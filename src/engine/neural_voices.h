// How the layer above lets the engine use neural voices: which names in a model directory are
// voice files, and a voice loaded from one. The engine itself knows only the presets.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "voice/voice_model.h"

class NeuralVoices {
  public:
    virtual ~NeuralVoices() = default;
    // Whether `name` selects a voice file of dir.
    virtual bool isVoice(const std::string& dir, const std::string& name) const = 0;
    // Every name of dir that isVoice accepts, sorted.
    virtual std::vector<std::string> list(const std::string& dir) const = 0;
    // The voice, loaded and initialised for the format; null with err when it cannot load.
    virtual std::unique_ptr<VoiceModel> load(const std::string& dir, const std::string& name,
                                             int channels, float sampleRate,
                                             std::string& err) const = 0;
};

// The audio engine the protocol mode drives. For now it only holds the voice;
// devices, streams and the capture path come with the live engine.
#pragma once

#include <memory>

#include "engine/voice_model.h"

class Engine {
  public:
    Engine();
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Safe at any time, also when the engine was never started.
    void stop();

  private:
    std::unique_ptr<VoiceModel> model_;
};

#include "engine/engine.h"

#include <string>

#include "engine/dsp_voice_model.h"

Engine::Engine() : model_(std::make_unique<DspVoiceModel>()) {
    std::string err;
    model_->load("original", err);
}

Engine::~Engine() {
    stop();
}

void Engine::stop() {}

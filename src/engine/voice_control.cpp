// Switching the voice and tuning it by named parameters while audio runs.
#include <cmath>
#include <filesystem>
#include <utility>

#include "dsp/presets.h"
#include "engine/dsp_voice_model.h"
#include "engine/engine.h"
#include "rvc/onnx_rvc_model.h"

namespace {

// A voice file in the model directory. Names with a path separator are never voices: the file
// checked and the file loaded must be the same one inside the directory.
bool isVoiceFile(const std::string& modelDir, const std::string& name) {
    if (name.find_first_of("/\\") != std::string::npos) return false;
    const std::filesystem::path path = modelDir + "/" + name + ".onnx";
    std::error_code ec;
    return std::filesystem::exists(path, ec) && !std::filesystem::is_directory(path, ec);
}

}  // namespace

bool applyDspParam(DspChain& chain, const std::string& name, double value, std::string& err) {
    DspParams p = chain.params();
    const auto v = static_cast<float>(value);
    if (name == "pitch") {
        p.pitchRatio = static_cast<float>(std::pow(2.0, value / 12.0));
    } else if (name == "pitch_ratio") {
        p.pitchRatio = v;
    } else if (name == "formant") {
        p.formant = v;
    } else if (name == "ringmod") {
        p.ringHz = v;
        p.ringMix = value > 0.01 ? 0.85f : 0.0f;
    } else if (name == "bandpass") {
        if (value < 100.0) {
            p.highpassHz = 0.0f;
            p.lowpassHz = 0.0f;
        } else {
            const double f = std::min(value, 8000.0);
            p.highpassHz = static_cast<float>(0.4 * f);
            p.lowpassHz = static_cast<float>(std::clamp(2.5 * f, 400.0, 16000.0));
        }
    } else if (name == "drive") {
        p.drive = v;
    } else if (name == "echo") {
        p.echoMix = v;
    } else if (name == "reverb") {
        p.reverbMix = v;
    } else {
        err = "unbekannter Parameter: " + name;
        return false;
    }
    chain.setParams(p);
    return true;
}

bool Engine::setNeuralVoice(const std::string& name, std::string& err) {
    // Loading takes seconds: it happens before the lock, so the audio keeps the old voice.
    auto neural = std::make_unique<OnnxRvcModel>();
    neural->modelDir = modelDir;
    neural->init(channels, static_cast<float>(sampleRate));
    if (!neural->load(name, err)) return false;
    std::unique_ptr<VoiceModel> old;
    {
        std::lock_guard lock(modelMutex);
        old = std::exchange(model, std::move(neural));
        voiceName = name;
    }
    return true;  // the old model, and its worker, end here, outside the lock
}

bool Engine::setVoice(const std::string& name, std::string& err) {
    if (name != "original" && name != "bypass" && isVoiceFile(modelDir, name)) {
        return setNeuralVoice(name, err);
    }
    bool known = false;
    presetByName(name, known);
    if (!known) {
        err = "unbekannte Stimme: " + name + " (weder RVC-Modell noch DSP-Preset)";
        return false;
    }
    std::lock_guard lock(modelMutex);
    if (!dynamic_cast<DspVoiceModel*>(model.get())) model = std::make_unique<DspVoiceModel>();
    model->init(channels, static_cast<float>(sampleRate));
    if (!model->load(name, err)) return false;
    voiceName = name;
    return true;
}

bool Engine::setParam(const std::string& name, double value, std::string& err) {
    std::lock_guard lock(modelMutex);
    if (name == "gain") {
        outputGain = static_cast<float>(std::clamp(value, 0.0, 2.0));
        return true;
    }
    if (auto* neural = dynamic_cast<OnnxRvcModel*>(model.get())) {
        if (name == "pitch") {
            neural->setPitchSemitones(static_cast<float>(value));
            return true;
        }
        return applyDspParam(postChain, name, value, err);
    }
    if (auto* dsp = dynamic_cast<DspVoiceModel*>(model.get())) {
        return applyDspParam(dsp->chain, name, value, err);
    }
    err = "kein Modell aktiv";
    return false;
}

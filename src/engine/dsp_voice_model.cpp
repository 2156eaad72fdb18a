#include "engine/dsp_voice_model.h"

#include <algorithm>
#include <cmath>

#include "dsp/presets.h"

bool DspVoiceModel::load(const std::string& preset, std::string& err) {
    bool ok = false;
    const DspParams params = presetByName(preset, ok);
    if (!ok) {
        err = "unbekanntes Preset: " + preset;
        return false;
    }
    chain_.setParams(params);
    control_ = params;
    latency_ = chain_.latencySamples();
    if (&preset != &name_) name_ = preset;
    return true;
}

void DspVoiceModel::init(int channels, float sampleRate) {
    chain_.init(channels, sampleRate);
    chain_.setParams(control_);
    latency_ = chain_.latencySamples();
}

void DspVoiceModel::process(float* buf, int frames) {
    DspParams next;
    if (pending_.read(next)) {
        chain_.update(next);
        latency_.store(chain_.latencySamples(), std::memory_order_relaxed);
    }
    chain_.process(buf, frames);
}

bool DspVoiceModel::setParam(const std::string& name, double value, std::string& err) {
    if (!applyDspParam(control_, name, value, err)) return false;
    pending_.write(control_);
    return true;
}

bool applyDspParam(DspParams& p, const std::string& name, double value, std::string& err) {
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
    return true;
}

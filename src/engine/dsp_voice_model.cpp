#include "engine/dsp_voice_model.h"

#include "dsp/presets.h"

bool DspVoiceModel::load(const std::string& preset, std::string& err) {
    bool ok = false;
    const DspParams params = presetByName(preset, ok);
    if (!ok) {
        err = "unbekanntes Preset: " + preset;
        return false;
    }
    chain.setParams(params);
    if (&preset != &name) name = preset;
    return true;
}

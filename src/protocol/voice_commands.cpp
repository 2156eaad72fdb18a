// The voice and soundboard commands.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "dsp/presets.h"
#include "engine/engine.h"
#include "protocol/base64.h"
#include "protocol/commands.h"
#include "protocol/dispatch.h"
#include "protocol/request_fields.h"

namespace {

std::string listPresets(Engine& e, const jm::Value&) {
    std::string rvc = ",\"rvc\":[";
    bool first = true;
    for (const std::string& name : e.neuralVoices()) {
        if (!first) rvc += ',';
        first = false;
        rvc += '"';
        rvc += jm::escape(name);
        rvc += '"';
    }
    rvc += ']';
    return "{\"ok\":true,\"presets\":" + presetListJson() + rvc + ",\"modelDir\":\"" +
           jm::escape(e.modelDir()) + "\"}";
}

std::string setModelDir(Engine& e, const jm::Value& req) {
    std::string path = stringField(req, "path");
    if (path.empty()) path = stringField(req, "id");
    if (path.empty()) return "{\"ok\":false,\"error\":\"fehlendes Feld 'path'\"}";
    e.setModelDir(path);
    return "{\"ok\":true,\"modelDir\":\"" + jm::escape(path) + "\"}";
}

std::string setVoice(Engine& e, const jm::Value& req) {
    const std::string name = stringField(req, "id");
    std::string err;
    if (!e.setVoice(name, err)) return errorReply(err);
    return "{\"ok\":true,\"voice\":\"" + jm::escape(name) + "\"}";
}

std::string sbPlay(Engine& e, const jm::Value& req) {
    const EngineStatus engine = e.status();
    if (!engine.running) {
        return "{\"ok\":false,\"error\":\"Engine läuft nicht — Power-Button drücken\"}";
    }
    // Compared as truncated doubles, so that absurd values cannot overflow an int.
    const double rate = std::trunc(numberField(req, "rate"));
    const double ch = std::trunc(numberField(req, "ch"));
    if (rate != engine.sampleRate || ch != engine.channels) {
        return "{\"ok\":false,\"error\":\"Samplerate/Kanäle passen nicht zur Engine\"}";
    }
    const std::vector<unsigned char> bytes = base64Decode(stringField(req, "b64"));
    if (bytes.empty() || bytes.size() % 4 != 0) {
        return "{\"ok\":false,\"error\":\"ungültige PCM-Daten\"}";
    }
    const uint64_t maxBytes = static_cast<uint64_t>(engine.sampleRate) * engine.channels * 120;
    if (bytes.size() > maxBytes) return "{\"ok\":false,\"error\":\"Sound zu lang (max 30 s)\"}";
    std::vector<float> clip(bytes.size() / 4);
    std::memcpy(clip.data(), bytes.data(), bytes.size());
    // Cleaned once here, so that the outputs never meet what a sender got wrong.
    for (float& s : clip) s = std::isfinite(s) ? std::clamp(s, -1.0f, 1.0f) : 0.0f;
    const double seconds = static_cast<double>(clip.size()) /
                           (static_cast<double>(engine.sampleRate) * engine.channels);
    e.sbPlay(std::move(clip));
    char reply[96];
    std::snprintf(reply, sizeof reply, "{\"ok\":true,\"seconds\":%.2f}", seconds);
    return reply;
}

std::string sbStop(Engine& e, const jm::Value&) {
    e.sbStop();
    return "{\"ok\":true}";
}

std::string sbVol(Engine& e, const jm::Value& req) {
    const float stored = e.setClipVolume(static_cast<float>(numberField(req, "value")));
    char reply[64];
    std::snprintf(reply, sizeof reply, "{\"ok\":true,\"vol\":%.2f}", stored);
    return reply;
}

constexpr Command kCommands[] = {
    {"list_presets", listPresets}, {"set_model_dir", setModelDir},
    {"set_voice", setVoice},       {"sb_play", sbPlay},
    {"sb_stop", sbStop},           {"sb_vol", sbVol},
};

}  // namespace

std::span<const Command> voiceAndSoundboardCommands() {
    return kCommands;
}

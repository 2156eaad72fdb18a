#include "app/live_test.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <thread>

#include "app/neural_voices.h"
#include "audio/kw_audio.h"
#include "engine/engine.h"
#include "platform/diagnostics.h"
#include "protocol/device_list.h"
#include "rvc/rvc_converter.h"

namespace {

void printLine(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace

int runListDevices() {
    printLine(devicesJson());
    return 0;
}

int runCable(bool create) {
    const std::string reply = cableJson(create);
    printLine(reply);
    return reply.starts_with("{\"ok\":true") ? 0 : 2;
}

int runLiveTest(const std::string& preset, int seconds) {
    logf("[test] Geräte:");
    try {
        for (const KwDevice& d : kwEnumerateDevices()) {
            logf("  %s %s%s — %s", d.isCapture ? "IN " : "OUT", d.name.c_str(),
                 d.isDefault ? " [Standard]" : "", d.id.substr(0, 40).c_str());
        }
    } catch (const std::exception& e) {
        logf("[test] Enumerierung fehlgeschlagen: %s", e.what());
        return 2;
    }
    std::string cableId, cableName;
    if (kwFindCable(cableId, cableName)) {
        logf("[test] VB-CABLE gefunden: %s", cableName.c_str());
    } else {
        logf("[test] Kein VB-CABLE — nur Monitoring-Output");
    }

    const OnnxVoices neural;
    Engine engine(defaultModelDir(), &neural);
    std::string err;
    if (!engine.setVoice(preset, err)) {
        logf("[test] Preset-Fehler: %s", err.c_str());
        return 2;
    }
    bool started = false;
    try {
        started = engine.start(err);
    } catch (const std::exception& e) {
        err = e.what();
    }
    if (!started) {
        logf("[test] Start fehlgeschlagen: %s", err.c_str());
        return 3;
    }
    const EngineStatus running = engine.status();
    logf("[test] Läuft: %d Hz, %d ch, Preset '%s' — %d s … (in das Mikro sprechen!)",
         running.sampleRate, running.channels, preset.c_str(), seconds);
    for (int tick = 1; tick <= 2 * seconds; ++tick) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        engine.service();
        const EngineStatus s = engine.status();
        logf("[test] t=%4.1fs  Level=%5.1f dB  Latenz≈%.1f ms  Proc=%.0f µs/Block  Underruns=%lu",
             tick * 0.5, levelDb(s.level), s.latencyMs, s.procUsPerBlock,
             static_cast<unsigned long>(s.underruns));
    }
    engine.stop();
    logf("[test] fertig.");
    return 0;
}

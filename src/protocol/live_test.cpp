#include "protocol/live_test.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <thread>

#include "audio/kw_audio.h"
#include "engine/engine.h"
#include "protocol/device_list.h"
#include "protocol/log.h"

int runListDevices() {
    const std::string list = devicesJson();
    std::fputs(list.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    return 0;
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

    Engine engine;
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
    logf("[test] Läuft: %d Hz, %d ch, Preset '%s' — %d s … (in das Mikro sprechen!)",
         engine.sampleRate, engine.channels, preset.c_str(), seconds);
    for (int tick = 1; tick <= 2 * seconds; ++tick) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const float level = engine.level;
        const float db = levelDb(level);
        const uint32_t underruns = engine.underruns();
        const double proc = engine.procUsPerBlock;
        const double latency = engine.latencyMs();
        logf("[test] t=%4.1fs  Level=%5.1f dB  Latenz≈%.1f ms  Proc=%.0f µs/Block  Underruns=%lu",
             tick * 0.5, db, latency, proc, static_cast<unsigned long>(underruns));
    }
    engine.stop();
    logf("[test] fertig.");
    return 0;
}

// The endpoint list from the sound server: sources that are not monitors, then sinks.
#include <stdexcept>

#include "audio/kw_audio.h"
#include "audio/pulse/pulse_session.h"

std::vector<KwDevice> kwEnumerateDevices() {
    PulseSession session;
    std::string err;
    if (!session.connect("kw-devices", err)) throw std::runtime_error(err);

    PulseLock lock(session);
    std::string defaultSink, defaultSource;
    session.queryDefaults(defaultSink, defaultSource);  // unknown: no entry is the default
    std::vector<KwDevice> devices;
    for (const bool isCapture : {true, false}) {
        std::vector<PulseEndpoint> endpoints;
        if (session.queryEndpoints(isCapture, nullptr, endpoints) != PA_OK) continue;
        const std::string& defaultName = isCapture ? defaultSource : defaultSink;
        for (PulseEndpoint& e : endpoints) {
            // A monitor is the playback of a sink, not something a user records from.
            if (e.isMonitor || e.name.empty()) continue;
            const bool isDefault = !defaultName.empty() && e.name == defaultName;
            devices.push_back({std::move(e.name), std::move(e.description), isCapture, isDefault});
        }
    }
    return devices;
}

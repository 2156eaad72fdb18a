// The virtual cable as two modules of the running sound server: a null sink the engine takes as
// the cable, and a remap source of its monitor for programs that list only microphones. The
// modules are known again by the names they give their devices.
#include <algorithm>

#include "audio/kw_audio.h"
#include "audio/pulse/pulse_session.h"

namespace {

constexpr char kSink[] = "kw_cable_input";
constexpr char kSource[] = "kw_cable_output";

struct Module {
    uint32_t index;
    std::string argument;
};

bool connect(PulseSession& session, std::string& err) {
    return session.connect("kw-cable", err);
}

// Loads a module; its index, or PA_INVALID_INDEX with err set.
uint32_t load(PulseSession& session, const char* name, const std::string& argument,
              std::string& err) {
    uint32_t index = PA_INVALID_INDEX;
    const bool done = session.complete(pa_context_load_module(
        session.context(), name, argument.c_str(),
        [](pa_context*, uint32_t i, void* result) { *static_cast<uint32_t*>(result) = i; },
        &index));
    if (!done || index == PA_INVALID_INDEX) {
        err = std::string("Modul ") + name + " nicht geladen: " + pa_strerror(session.lastError());
    }
    return index;
}

}  // namespace

bool kwCreateCable(std::vector<std::string>& created, std::string& existing, std::string& err) {
    PulseSession session;
    if (!connect(session, err)) return false;
    PulseLock lock(session);
    std::vector<PulseEndpoint> sinks;
    if (const int error = session.queryEndpoints(false, nullptr, sinks); error != PA_OK) {
        err = pulseConnectionError(error);
        return false;
    }
    for (const PulseEndpoint& sink : sinks) {
        if (kwIsCableName(sink.description)) {
            existing = sink.description;
            return true;
        }
    }
    const uint32_t sink = load(
        session, "module-null-sink",
        std::string("sink_name=") + kSink + " sink_properties=\"device.description='CABLE Input'\"",
        err);
    if (sink == PA_INVALID_INDEX) return false;
    const uint32_t source =
        load(session, "module-remap-source",
             std::string("master=") + kSink + ".monitor source_name=" + kSource +
                 " source_properties=\"device.description='CABLE Output'\"",
             err);
    if (source == PA_INVALID_INDEX) {
        session.complete(pa_context_unload_module(session.context(), sink, nullptr, nullptr));
        return false;
    }
    created = {kSink, kSource};
    return true;
}

bool kwRemoveCable(std::vector<std::string>& removed, std::string& err) {
    PulseSession session;
    if (!connect(session, err)) return false;
    PulseLock lock(session);
    std::vector<Module> modules;
    const bool listed = session.complete(pa_context_get_module_info_list(
        session.context(),
        [](pa_context*, const pa_module_info* info, int eol, void* list) {
            if (eol == 0 && info) {
                static_cast<std::vector<Module>*>(list)->push_back(
                    {info->index, info->argument ? info->argument : ""});
            }
        },
        &modules));
    if (!listed) {
        err = pulseConnectionError(session.lastError());
        return false;
    }
    // The source first: it records from the sink's monitor.
    for (const std::string& device :
         {std::string("source_name=") + kSource, std::string("sink_name=") + kSink}) {
        for (const Module& m : modules) {
            if (m.argument.find(device + " ") == std::string::npos) continue;
            if (!session.complete(
                    pa_context_unload_module(session.context(), m.index, nullptr, nullptr))) {
                err = pulseConnectionError(session.lastError());
                return false;
            }
            removed.push_back(device.substr(device.find('=') + 1));
        }
    }
    return true;
}

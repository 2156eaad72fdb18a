// The engine-control commands.
#include <cstdio>
#include <exception>

#include "engine/engine.h"
#include "protocol/commands.h"
#include "protocol/device_list.h"
#include "protocol/dispatch.h"
#include "protocol/request_fields.h"

namespace {

const char* boolText(bool b) {
    return b ? "true" : "false";
}

std::string listDevices(Engine&, const jm::Value&) {
    return devicesJson();
}

std::string createCable(Engine&, const jm::Value&) {
    return cableJson(true);
}

std::string removeCable(Engine&, const jm::Value&) {
    return cableJson(false);
}

std::string status(Engine& e, const jm::Value&) {
    const EngineStatus s = e.status();
    char numbers[256];
    std::snprintf(numbers, sizeof numbers,
                  "\"sampleRate\":%d,\"channels\":%d,\"cableActive\":%s,\"latencyMs\":%.1f,"
                  "\"level\":%.3f,\"underruns\":%lu,\"muted\":%s,\"monitor\":%s}",
                  s.sampleRate, s.channels, boolText(s.cableActive), s.latencyMs, s.level,
                  static_cast<unsigned long>(s.underruns), boolText(s.muted), boolText(s.monitor));
    // Names are escaped, so that any voice name keeps the line valid JSON.
    return std::string("{\"ok\":true,\"running\":") + boolText(s.running) + ",\"engine\":\"" +
           jm::escape(s.engine) + "\",\"voice\":\"" + jm::escape(s.voice) + "\"," + numbers;
}

std::string start(Engine& e, const jm::Value&) {
    std::string err;
    try {
        if (!e.start(err)) return errorReply(err);
    } catch (const std::exception& ex) {
        // The sound server cannot be reached: the engine stays stopped and goes on serving.
        e.stop();
        return errorReply(ex.what());
    }
    return std::string("{\"ok\":true,\"cableActive\":") + boolText(e.status().cableActive) + "}";
}

std::string stop(Engine& e, const jm::Value&) {
    e.stop();
    return "{\"ok\":true}";
}

std::string setInput(Engine& e, const jm::Value& req) {
    e.setInput(stringField(req, "id"));
    return "{\"ok\":true}";
}

std::string setOutput(Engine& e, const jm::Value& req) {
    e.setOutput(stringField(req, "id"));
    return "{\"ok\":true}";
}

std::string setMute(Engine& e, const jm::Value& req) {
    return std::string("{\"ok\":true,\"muted\":") +
           boolText(e.setMuted(switchField(req, "value"))) + "}";
}

std::string setMonitor(Engine& e, const jm::Value& req) {
    return std::string("{\"ok\":true,\"monitor\":") +
           boolText(e.setMonitor(switchField(req, "value"))) + "}";
}

std::string setParam(Engine& e, const jm::Value& req) {
    std::string err;
    if (!e.setParam(stringField(req, "name"), numberField(req, "value"), err)) {
        return errorReply(err);
    }
    return "{\"ok\":true}";
}

std::string getLevel(Engine& e, const jm::Value&) {
    const float l = e.status().level;
    const float db = levelDb(l);
    char reply[128];
    std::snprintf(reply, sizeof reply, "{\"ok\":true,\"level\":%.4f,\"db\":%.1f}", l, db);
    return reply;
}

std::string getLatency(Engine& e, const jm::Value&) {
    const EngineStatus s = e.status();
    char reply[192];
    std::snprintf(reply, sizeof reply,
                  "{\"ok\":true,\"latencyMs\":%.1f,\"procUsPerBlock\":%.0f,\"underruns\":%lu}",
                  s.latencyMs, s.procUsPerBlock, static_cast<unsigned long>(s.underruns));
    return reply;
}

constexpr Command kCommands[] = {
    {"list_devices", listDevices},
    {"create_cable", createCable},
    {"remove_cable", removeCable},
    {"status", status},
    {"start", start},
    {"stop", stop},
    {"set_input", setInput},
    {"set_output", setOutput},
    {"set_mute", setMute},
    {"set_monitor", setMonitor},
    {"set_param", setParam},
    {"get_level", getLevel},
    {"get_latency", getLatency},
};

}  // namespace

std::span<const Command> engineControlCommands() {
    return kCommands;
}

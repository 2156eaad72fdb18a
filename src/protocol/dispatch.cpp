#include "protocol/dispatch.h"

#include "protocol/commands.h"
#include "protocol/request_fields.h"

std::string errorReply(const std::string& message) {
    return "{\"ok\":false,\"error\":\"" + jm::escape(message) + "\"}";
}

std::string dispatch(Engine& engine, const jm::Value& request) {
    const std::string cmd = stringField(request, "cmd");
    if (cmd.empty()) return "{\"ok\":false,\"error\":\"fehlendes Feld 'cmd'\"}";
    for (const auto& table : {engineControlCommands(), voiceAndSoundboardCommands()}) {
        for (const Command& c : table) {
            if (cmd == c.name) return c.handle(engine, request);
        }
    }
    if (cmd == "quit") return kQuitSentinel;
    return "{\"ok\":false,\"error\":\"unbekanntes Kommando: " + jm::escape(cmd) + "\"}";
}

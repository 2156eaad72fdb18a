#include "protocol/dispatch.h"

#include "engine/engine.h"

std::string errorReply(const std::string& message) {
    return "{\"ok\":false,\"error\":\"" + jm::escape(message) + "\"}";
}

std::string dispatch(Engine& /*engine*/, const jm::Value& request) {
    const std::string cmd = request.get("cmd").str("");
    if (cmd.empty()) return "{\"ok\":false,\"error\":\"fehlendes Feld 'cmd'\"}";
    if (cmd == "quit") return kQuitSentinel;
    return "{\"ok\":false,\"error\":\"unbekanntes Kommando: " + jm::escape(cmd) + "\"}";
}

#include "protocol/command_loop.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "engine/engine.h"
#include "platform/diagnostics.h"
#include "platform/platform.h"
#include "protocol/dispatch.h"
#include "protocol/jm.h"

namespace {

constexpr size_t kLineReserve = 1u << 20;
constexpr size_t kReadPiece = 65536;
constexpr char kParseError[] = "{\"ok\":false,\"error\":\"JSON-Parse-Fehler\"}";
constexpr char kBye[] = "{\"ok\":true,\"bye\":true}\n";

void writeReply(const std::string& reply) {
    std::fputs(reply.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// Parses and dispatches one line. A failing request must not take the engine down.
std::string answer(Engine& engine, const std::string& line) {
    try {
        jm::Value request;
        jm::Parser parser(line);
        if (!parser.document(request)) return kParseError;
        return dispatch(engine, request);
    } catch (const FatalError&) {
        throw;
    } catch (const std::exception& e) {
        return errorReply(std::string("interner Fehler: ") + e.what());
    } catch (...) {
        return errorReply("interner Fehler");
    }
}

}  // namespace

int runProtocol(Engine& engine) {
    logf("[engine] bereit — JSON-Protokoll auf stdin/stdout (Pid %lu)",
         platform::currentProcessId());

    std::string line;
    line.reserve(kLineReserve);
    bool overlong = false;  // discarding the rest of a line past kMaxLineBytes
    char piece[kReadPiece];
    while (std::fgets(piece, sizeof piece, stdin)) {
        const size_t len = std::strlen(piece);
        const bool complete = len > 0 && piece[len - 1] == '\n';
        if (!overlong) {
            line.append(piece, len);
            if (line.size() > kMaxLineBytes) {
                overlong = true;
                line.clear();
                line.shrink_to_fit();
                line.reserve(kLineReserve);
            }
        }
        if (!complete) continue;
        if (overlong) {
            overlong = false;
            writeReply(errorReply("Zeile zu lang (über 64 MiB)"));
            continue;
        }
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        if (line.empty()) continue;

        const std::string reply = answer(engine, line);
        line.clear();
        if (reply == kQuitSentinel) {
            std::fwrite(kBye, 1, sizeof kBye - 1, stdout);
            std::fflush(stdout);
            break;
        }
        writeReply(reply);
    }
    engine.stop();
    return 0;
}

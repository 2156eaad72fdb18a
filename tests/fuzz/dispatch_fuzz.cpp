// A whole request line through the dispatcher of an engine without a sound server: every reply is
// one line of JSON that says whether it succeeded, or the quit sentinel.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/engine.h"
#include "protocol/dispatch.h"
#include "protocol/jm.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("PULSE_SERVER", "unix:/nonexistent/native", 1);  // start and list_devices fail fast
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Engine engine("/nonexistent", nullptr);
    const std::string line(reinterpret_cast<const char*>(data), size);
    jm::Value request;
    if (!jm::Parser(line).document(request)) return 0;
    const std::string reply = dispatch(engine, request);
    if (reply == kQuitSentinel) return 0;
    jm::Value parsed;
    if (reply.find('\n') != std::string::npos || reply.rfind("{\"ok\":", 0) != 0 ||
        !jm::Parser(reply).document(parsed) || parsed.index() != 4) {
        __builtin_trap();
    }
    return 0;
}

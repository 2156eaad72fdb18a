// The JSON reader on any line, and the escaper on any bytes: an escaped text never holds a raw
// control character, so a reply stays one line.
#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/jm.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    jm::Value value;
    jm::Parser(text).document(value);
    for (const unsigned char c : jm::escape(text)) {
        if (c < 0x20) __builtin_trap();
    }
    return 0;
}

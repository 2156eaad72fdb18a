// The Base64 decoder on any text: six bits per accepted character, never more.
#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (base64Decode(text).size() > size * 3 / 4) __builtin_trap();
    return 0;
}

#include "platform/diagnostics.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>

void logf(const char* fmt, ...) {
    va_list args, again;
    va_start(args, fmt);
    va_copy(again, args);
    const int len = std::vsnprintf(nullptr, 0, fmt, args);
    std::string line(len > 0 ? static_cast<size_t>(len) + 1 : 1, '\0');
    if (len > 0) std::vsnprintf(line.data(), line.size(), fmt, again);
    va_end(again);
    va_end(args);
    line.back() = '\n';
    std::replace_if(
        line.begin(), line.end() - 1, [](char c) { return c == '\n' || c == '\r'; }, ' ');
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

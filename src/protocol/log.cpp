#include "protocol/log.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>

void logf(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    const int len = std::vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    std::string line(len > 0 ? static_cast<size_t>(len) + 1 : 1, '\0');
    if (len > 0) std::vsnprintf(line.data(), line.size(), fmt, again);
    va_end(again);
    line.back() = '\n';
    std::replace(line.begin(), line.end() - 1, '\n', ' ');
    // One write per line keeps lines from several threads apart.
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

// The one writer of diagnostics: every line of every module goes to standard error through it.
#pragma once

#include <stdexcept>

#if defined(__MINGW32__)
// MinGW's C++ runtime formats as C99 says (%zu and all), not as the Microsoft runtime does.
#define KW_PRINTF_FORMAT(fmt, first) __attribute__((format(gnu_printf, fmt, first)))
#elif defined(__GNUC__)
#define KW_PRINTF_FORMAT(fmt, first) __attribute__((format(printf, fmt, first)))
#else
#define KW_PRINTF_FORMAT(fmt, first)
#endif

// printf-style. Writes exactly one line: line feeds and carriage returns inside the text (from a
// library's message, say) become blanks. One write, then a flush, so that lines from several
// threads stay apart. Not for the audio threads.
void logf(const char* fmt, ...) KW_PRINTF_FORMAT(1, 2);

// A failure the process cannot go on from, logged where it happened. Nothing on the way up may
// swallow it: the program ends on it with its own status.
struct FatalError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

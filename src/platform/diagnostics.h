// The one writer of diagnostics: every line of every module goes to standard error through it.
#pragma once

#if defined(__GNUC__)
#define KW_PRINTF_FORMAT(fmt, first) __attribute__((format(printf, fmt, first)))
#else
#define KW_PRINTF_FORMAT(fmt, first)
#endif

// printf-style. Writes exactly one line: line feeds and carriage returns inside the text (from a
// library's message, say) become blanks. One write, then a flush, so that lines from several
// threads stay apart. Not for the audio threads.
void logf(const char* fmt, ...) KW_PRINTF_FORMAT(1, 2);

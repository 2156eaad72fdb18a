// Diagnostics: one line each on standard error.
#pragma once

// printf-style; the line feed is added here. Line feeds inside the formatted
// text (for example from embedded library messages) become blanks, so every
// diagnostic stays one line.
void logf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

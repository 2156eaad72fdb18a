// Diagnostics: one line each on standard error.
#pragma once

// printf-style; the line feed is added here, and the text stays one line.
void logf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

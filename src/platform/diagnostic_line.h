// The one writer behind every diagnostic of the program.
#pragma once

#include <cstdarg>

// Formats to standard error as exactly one line: line feeds and carriage returns inside the
// text (from embedded library messages, say) become blanks; one write, then a flush, so that
// lines from several threads stay apart.
void writeDiagnosticLine(const char* fmt, va_list args);

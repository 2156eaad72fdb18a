#include "protocol/log.h"

#include "platform/diagnostic_line.h"

void logf(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    writeDiagnosticLine(fmt, args);
    va_end(args);
}

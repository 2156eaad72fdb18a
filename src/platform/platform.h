// The few process-level services that differ between Windows and POSIX systems.
#pragma once

namespace platform {

// Console output as UTF-8 and a broken pipe reported as a write error instead of a signal.
void prepareProtocolConsole();

unsigned long currentProcessId();

}  // namespace platform

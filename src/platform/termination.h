// Termination requests: SIGTERM, SIGINT and SIGHUP (on Windows the console's Ctrl-C, Ctrl-Break
// and close events, through SetConsoleCtrlHandler). By default they end the process; the
// protocol mode defers them so that it can stop the engine first, and a file being written is
// removed before the process ends. Signals ignored at start stay ignored.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

// From now on a termination request only ends the input: readInput returns 0 and
// terminationRequested() is true.
void deferTermination();
bool terminationRequested();

// Up to `size` bytes of standard input as they arrive, waiting for some; 0 at its end, on a read
// error, and once termination was requested.
size_t readInput(char* buf, size_t size);

// A termination request removes this file before the process ends; an empty path forgets it.
void removeOnTermination(const std::string& path);

}  // namespace platform

// The few process and file system services that differ between Windows and POSIX systems. Paths
// are UTF-8.
#pragma once

#include <string>
#include <vector>

namespace platform {

// Console output as UTF-8 and a broken pipe reported as a write error instead of a signal.
void prepareProtocolConsole();

unsigned long currentProcessId();

// Whether path names something that exists and is not a directory.
bool isFile(const std::string& path);

// The names of the entries of dir; none when it cannot be read.
std::vector<std::string> entries(const std::string& dir);

}  // namespace platform

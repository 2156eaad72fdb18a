// The few process and file system services that differ between Windows and POSIX systems. Paths
// are UTF-8 (on Windows the program runs with UTF-8 as its code page).
#pragma once

#include <string>
#include <vector>

namespace platform {

// Console output as UTF-8, standard input byte for byte (on Windows a text-mode stream ends at a
// stray 0x1A), and a broken pipe reported as a write error instead of a signal.
void prepareProtocolConsole();

unsigned long currentProcessId();

// Whether path names something that exists and is not a directory.
bool isFile(const std::string& path);

// The names of the entries of dir; none when it cannot be read.
std::vector<std::string> entries(const std::string& dir);

// Whether path is a regular file or names nothing: what a complete temporary may be renamed over.
// Not a link, a directory or a device.
bool isReplaceable(const std::string& path);

// Puts the file from in place of to in one step, replacing an existing to.
bool replaceFile(const std::string& from, const std::string& to);

// Sets an environment variable for this process, seen by every library in it.
void setEnvironment(const char* name, const char* value);

// Physical processor cores as the operating system reports them; 4 when it cannot tell.
int physicalCoreCount();

#ifdef _WIN32
// UTF-8 to UTF-16, and back (a null pointer gives an empty string).
std::wstring u2w(const std::string& utf8);
std::string w2u(const wchar_t* utf16);

// The exported function name of the already loaded module; null when either is missing.
void* loadedFunction(const char* module, const char* name);
#endif

}  // namespace platform

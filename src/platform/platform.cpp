#include "platform/platform.h"

#include <cstdlib>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#else
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <utility>
#endif

namespace platform {

#ifdef _WIN32

void prepareProtocolConsole() {
    SetConsoleOutputCP(CP_UTF8);
    // Replies stay in text mode and end in CR LF; requests are read raw, and the command loop
    // drops a CR before the LF itself.
    _setmode(_fileno(stdin), _O_BINARY);
}

unsigned long currentProcessId() {
    return GetCurrentProcessId();
}

bool isFile(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA((dir + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        const std::string name = found.cFileName;
        if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return names;
}

bool isReplaceable(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    // A symbolic link is a reparse point.
    return attributes == INVALID_FILE_ATTRIBUTES ||
           !(attributes &
             (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE));
}

bool replaceFile(const std::string& from, const std::string& to) {
    // rename() refuses an existing target here.
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

void setEnvironment(const char* name, const char* value) {
    // The C runtime keeps a copy of its own; a DLL built against another runtime reads the
    // process's block.
    _putenv_s(name, value);
    SetEnvironmentVariableA(name, value);
}

int physicalCoreCount() {
    DWORD bytes = 0;
    GetLogicalProcessorInformation(nullptr, &bytes);
    std::vector<SYSTEM_LOGICAL_PROCESSOR_INFORMATION> info(bytes / sizeof(info[0]));
    if (info.empty() || !GetLogicalProcessorInformation(info.data(), &bytes)) return 4;
    int cores = 0;
    for (size_t i = 0; i < bytes / sizeof(info[0]) && i < info.size(); ++i) {
        if (info[i].Relationship == RelationProcessorCore) ++cores;
    }
    return cores > 0 ? cores : 4;
}

std::wstring u2w(const std::string& utf8) {
    const int size = static_cast<int>(utf8.size());
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, wide.data(), n);
    return wide;
}

std::string w2u(const wchar_t* utf16) {
    if (!utf16 || !*utf16) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, utf16, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return {};
    std::string utf8(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, utf16, -1, utf8.data(), n, nullptr, nullptr);
    utf8.pop_back();  // the terminator
    return utf8;
}

void* loadedFunction(const char* module, const char* name) {
    const HMODULE handle = GetModuleHandleA(module);
    return handle ? reinterpret_cast<void*>(GetProcAddress(handle, name)) : nullptr;
}

#else

void prepareProtocolConsole() {
    // A front end that goes away must not kill the engine mid-request.
    std::signal(SIGPIPE, SIG_IGN);
}

unsigned long currentProcessId() {
    return static_cast<unsigned long>(getpid());
}

bool isFile(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec) && !std::filesystem::is_directory(path, ec);
}

std::vector<std::string> entries(const std::string& dir) {
    namespace fs = std::filesystem;
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        names.push_back(it->path().filename().string());
    }
    return names;
}

bool isReplaceable(const std::string& path) {
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::symlink_status(path, ec);
    return !std::filesystem::exists(status) || std::filesystem::is_regular_file(status);
}

bool replaceFile(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

void setEnvironment(const char* name, const char* value) {
    setenv(name, value, 1);
}

int physicalCoreCount() {
    namespace fs = std::filesystem;
    // Distinct (package, core) pairs; an offline CPU may have no topology and is skipped.
    std::set<std::pair<long, long> > cores;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/sys/devices/system/cpu", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.size() < 4 || name.compare(0, 3, "cpu") != 0 ||
            !std::all_of(name.begin() + 3, name.end(),
                         [](unsigned char c) { return std::isdigit(c); })) {
            continue;
        }
        std::ifstream package(entry.path() / "topology" / "physical_package_id");
        std::ifstream core(entry.path() / "topology" / "core_id");
        long p = 0;
        long c = 0;
        if (package >> p && core >> c) cores.emplace(p, c);
    }
    return cores.empty() ? 4 : static_cast<int>(cores.size());
}

#endif

}  // namespace platform

#include "platform/termination.h"

#include <windows.h>

#include <atomic>

namespace platform {
namespace {

std::atomic<bool> g_deferred{false};
std::atomic<bool> g_requested{false};
std::atomic<const char*> g_removing{nullptr};
// The thread inside readInput, and whether it is in there: a console control handler runs on a
// thread of its own and cancels that read.
std::atomic<HANDLE> g_reader{nullptr};
std::atomic<bool> g_reading{false};

BOOL WINAPI onControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    if (const char* path = g_removing.load()) DeleteFileA(path);
    if (!g_deferred.load()) return FALSE;  // the default: the process ends
    g_requested.store(true);
    // The read may only just be starting: cancel until the reader has left it (a second at most).
    for (int i = 0; i < 100 && g_reading.load(); ++i) {
        if (const HANDLE reader = g_reader.load()) CancelSynchronousIo(reader);
        Sleep(10);
    }
    return TRUE;
}

void installHandler() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    SetConsoleCtrlHandler(onControl, TRUE);
}

}  // namespace

void deferTermination() {
    installHandler();
    g_deferred.store(true);
}

bool terminationRequested() {
    return g_requested.load();
}

size_t readInput(char* buf, size_t size) {
    if (!g_reader.load()) {
        HANDLE self = nullptr;
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self,
                        THREAD_TERMINATE, FALSE, 0);
        g_reader.store(self);
    }
    g_reading.store(true);
    DWORD got = 0;
    const bool ok = !g_requested.load() && ReadFile(GetStdHandle(STD_INPUT_HANDLE), buf,
                                                    static_cast<DWORD>(size), &got, nullptr);
    g_reading.store(false);
    return ok && !g_requested.load() ? got : 0;
}

void removeOnTermination(const std::string& path) {
    // Kept here for the handler: it may read the text until it is replaced.
    static std::string removing;
    installHandler();
    g_removing.store(nullptr);
    removing = path;
    if (!path.empty()) g_removing.store(removing.c_str());
}

}  // namespace platform

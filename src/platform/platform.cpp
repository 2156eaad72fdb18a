#include "platform/platform.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#include <csignal>
#endif

namespace platform {

void prepareProtocolConsole() {
#ifdef _WIN32
    SetConsoleOutputCP(65001);
#else
    // A front end that goes away must not kill the engine mid-request.
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

unsigned long currentProcessId() {
#ifdef _WIN32
    return GetCurrentProcessId();
#else
    return static_cast<unsigned long>(getpid());
#endif
}

}  // namespace platform

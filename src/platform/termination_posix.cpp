#include "platform/termination.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>

namespace platform {
namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

// Lock-free atomics: the handler may run on any thread, between any two instructions.
std::atomic<bool> g_deferred{false};
std::atomic<bool> g_requested{false};
std::atomic<const char*> g_removing{nullptr};
static_assert(std::atomic<bool>::is_always_lock_free &&
              std::atomic<const char*>::is_always_lock_free);
// The handler's byte on this pipe wakes readInput (a signal on another thread would not).
int g_wake[2] = {-1, -1};

void onTermination(int sig) {
    const int savedErrno = errno;
    if (const char* path = g_removing.load()) unlink(path);
    if (g_deferred.load()) {
        g_requested.store(true);
        const char byte = 0;
        [[maybe_unused]] const ssize_t n = write(g_wake[1], &byte, 1);
    } else {
        // The default action, once this handler returns.
        std::signal(sig, SIG_DFL);
        std::raise(sig);
    }
    errno = savedErrno;
}

void installHandlers() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    if (pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0) g_wake[0] = g_wake[1] = -1;
    struct sigaction action = {};
    action.sa_handler = onTermination;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const int sig : kSignals) sigaddset(&action.sa_mask, sig);
    for (const int sig : kSignals) {
        struct sigaction previous = {};
        if (sigaction(sig, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
            sigaction(sig, &action, nullptr);
        }
    }
}

}  // namespace

void deferTermination() {
    installHandlers();
    g_deferred.store(true);
}

bool terminationRequested() {
    return g_requested.load();
}

size_t readInput(char* buf, size_t size) {
    while (!g_requested.load()) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {g_wake[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return 0;
        }
        if (fds[0].revents == 0) continue;  // woken by the pipe
        const ssize_t got = read(STDIN_FILENO, buf, size);
        if (got > 0) return static_cast<size_t>(got);
        if (got == 0 || (errno != EINTR && errno != EAGAIN)) return 0;
    }
    return 0;
}

void removeOnTermination(const std::string& path) {
    // Kept here for the handler: it may read the text until it is replaced.
    static std::string removing;
    installHandlers();
    g_removing.store(nullptr);
    removing = path;
    if (!path.empty()) g_removing.store(removing.c_str());
}

}  // namespace platform

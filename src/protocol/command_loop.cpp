#include "protocol/command_loop.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>
#include <thread>

#include "engine/engine.h"
#include "platform/diagnostics.h"
#include "platform/platform.h"
#include "protocol/dispatch.h"
#include "protocol/jm.h"

namespace {

constexpr size_t kLineReserve = 1u << 20;
constexpr size_t kReadPiece = 65536;
constexpr char kParseError[] = "{\"ok\":false,\"error\":\"JSON-Parse-Fehler\"}";
constexpr char kBye[] = "{\"ok\":true,\"bye\":true}\n";

void writeReply(const std::string& reply) {
    std::fputs(reply.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// Parses and dispatches one line. A failing request must not take the engine down.
std::string answer(Engine& engine, const std::string& line) {
    try {
        jm::Value request;
        jm::Parser parser(line);
        if (!parser.document(request)) return kParseError;
        return dispatch(engine, request);
    } catch (const FatalError&) {
        throw;
    } catch (const std::exception& e) {
        return errorReply(std::string("interner Fehler: ") + e.what());
    } catch (...) {
        return errorReply("interner Fehler");
    }
}

// Calls the engine's service() five times a second beside the commands, until destroyed.
class ServiceThread {
  public:
    explicit ServiceThread(Engine& engine)
        : thread_([this, &engine] {
              std::unique_lock lock(mutex_);
              while (!done_) {
                  lock.unlock();
                  engine.service();
                  lock.lock();
                  wake_.wait_for(lock, std::chrono::milliseconds(200), [this] { return done_; });
              }
          }) {}
    ~ServiceThread() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }
    ServiceThread(const ServiceThread&) = delete;
    ServiceThread& operator=(const ServiceThread&) = delete;

  private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;  // guarded by mutex_
    std::thread thread_;
};

}  // namespace

int runProtocol(Engine& engine) {
    logf("[engine] bereit — JSON-Protokoll auf stdin/stdout (Pid %lu)",
         platform::currentProcessId());

    const ServiceThread service(engine);
    std::string line;
    line.reserve(kLineReserve);
    bool overlong = false;  // discarding the rest of a line past kMaxLineBytes
    char piece[kReadPiece];
    while (std::fgets(piece, sizeof piece, stdin)) {
        const size_t len = std::strlen(piece);
        const bool complete = len > 0 && piece[len - 1] == '\n';
        if (!overlong) {
            line.append(piece, len);
            if (line.size() > kMaxLineBytes) {
                overlong = true;
                line.clear();
                line.shrink_to_fit();
                line.reserve(kLineReserve);
            }
        }
        if (!complete) continue;
        if (overlong) {
            overlong = false;
            writeReply(errorReply("Zeile zu lang (über 64 MiB)"));
            continue;
        }
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        if (line.empty()) continue;

        const std::string reply = answer(engine, line);
        line.clear();
        if (reply == kQuitSentinel) {
            std::fwrite(kBye, 1, sizeof kBye - 1, stdout);
            std::fflush(stdout);
            break;
        }
        writeReply(reply);
    }
    engine.stop();
    return 0;
}

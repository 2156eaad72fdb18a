#include "protocol/command_loop.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "engine/engine.h"
#include "platform/diagnostics.h"
#include "platform/platform.h"
#include "platform/termination.h"
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

// Standard input in the pieces fgets would cut: up to kReadPiece - 1 bytes, ending after a line
// feed. Read through the platform so that a termination request ends the wait.
class PieceReader {
  public:
    // The next piece and its length as strlen takes it, so a zero byte ends it early. Null at the
    // end of input or once termination was requested; a partial piece is then lost, as its line
    // could never be completed.
    const char* next(size_t& len) {
        size_t n = 0;
        while (n < kReadPiece - 1) {
            if (pos_ == end_) {
                end_ = platform::readInput(raw_, sizeof raw_);
                pos_ = 0;
                if (end_ == 0) return nullptr;
            }
            const size_t room = std::min(end_ - pos_, kReadPiece - 1 - n);
            const char* feed = static_cast<const char*>(std::memchr(raw_ + pos_, '\n', room));
            const size_t take = feed ? static_cast<size_t>(feed - (raw_ + pos_)) + 1 : room;
            std::memcpy(piece_ + n, raw_ + pos_, take);
            pos_ += take;
            n += take;
            if (feed) break;
        }
        len = static_cast<size_t>(std::find(piece_, piece_ + n, '\0') - piece_);
        return piece_;
    }

  private:
    char raw_[kReadPiece];
    char piece_[kReadPiece];
    size_t pos_ = 0;
    size_t end_ = 0;
};

}  // namespace

int runProtocol(Engine& engine) {
    platform::deferTermination();
    logf("[engine] bereit — JSON-Protokoll auf stdin/stdout (Pid %lu)",
         platform::currentProcessId());

    const ServiceThread service(engine);
    std::string line;
    line.reserve(kLineReserve);
    bool overlong = false;  // discarding the rest of a line past kMaxLineBytes
    const auto reader = std::make_unique<PieceReader>();  // 128 KiB: off the stack
    size_t len = 0;
    while (const char* piece = reader->next(len)) {
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
        if (platform::terminationRequested()) break;  // nothing more is said
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

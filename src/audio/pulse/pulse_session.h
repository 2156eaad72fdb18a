// One connection to the sound server (PulseAudio, or PipeWire's pulse server) with its own
// pa_threaded_mainloop thread. All waits during setup share one deadline set at connect, so an
// absent or hung server never blocks the caller for more than a couple of seconds.
#pragma once

#include <pulse/pulseaudio.h>

#include <string>
#include <vector>

// A sink or source as the server describes it.
struct PulseEndpoint {
    std::string name;
    std::string description;
    pa_sample_spec format;
    pa_channel_map map;
    bool isMonitor;  // a source that records what a sink plays
};

// "Verbindung zum Soundserver fehlgeschlagen: " and the server's text for a pa error number.
std::string pulseConnectionError(int error);

class PulseSession {
  public:
    PulseSession() = default;
    ~PulseSession();
    PulseSession(const PulseSession&) = delete;
    PulseSession& operator=(const PulseSession&) = delete;

    // Starts the loop thread (named threadName) and connects; never spawns a server. On failure
    // err is the pulseConnectionError text.
    bool connect(const char* threadName, std::string& err);

    // Everything below needs the loop lock (PulseLock).
    pa_threaded_mainloop* loop() const { return loop_; }
    pa_context* context() const { return context_; }

    // Waits for the mainloop thread's signals until done() holds; false once the deadline passed.
    template <class Done>
    bool waitUntil(Done done) {
        while (!done()) {
            if (expired_) return false;
            pa_threaded_mainloop_wait(loop_);
        }
        return true;
    }
    // Waits for op to finish and releases it; true when it completed. An unfinished op is
    // cancelled, so its callback can never run on the caller's state afterwards.
    bool complete(pa_operation* op);
    // The pa error behind a failed wait or request.
    int lastError() const;

    // The sources (isCapture) or sinks, all of them (name null) or the one called name, in the
    // server's order. Returns 0 or the pa error (PA_ERR_NOENTITY when name is unknown).
    int queryEndpoints(bool isCapture, const char* name, std::vector<PulseEndpoint>& out);
    // The names of the default sink and source, empty where the server has none.
    int queryDefaults(std::string& sink, std::string& source);

  private:
    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    bool expired_ = false;  // the setup deadline passed; written and read under the loop lock
};

class PulseLock {
  public:
    explicit PulseLock(const PulseSession& session) : loop_(session.loop()) {
        pa_threaded_mainloop_lock(loop_);
    }
    ~PulseLock() { pa_threaded_mainloop_unlock(loop_); }
    PulseLock(const PulseLock&) = delete;
    PulseLock& operator=(const PulseLock&) = delete;

  private:
    pa_threaded_mainloop* loop_;
};

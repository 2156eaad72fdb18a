// A private sound server (scripts/pa_server.sh) in a fresh temporary directory, for tests and
// benchmarks: PULSE_SERVER points at it while it runs; it is stopped and removed at the end.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

// Runs a shell command; its output without trailing blanks and line feeds.
inline std::string runCommand(const std::string& command) {
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) throw std::runtime_error("popen: " + command);
    std::string out;
    char chunk[256];
    while (size_t n = fread(chunk, 1, sizeof chunk, pipe)) out.append(chunk, n);
    if (pclose(pipe) != 0) throw std::runtime_error("failed: " + command);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

class PrivateSoundServer {
  public:
    // options: those of pa_server.sh start, e.g. "--no-cable".
    explicit PrivateSoundServer(std::string options = "") : options_(std::move(options)) {
        char tmpl[] = "/tmp/kw_sound_server.XXXXXX";
        if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
        dir_ = tmpl;
        try {
            start();
        } catch (...) {
            std::filesystem::remove_all(dir_);
            throw;
        }
    }
    ~PrivateSoundServer() {
        try {
            stop();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s\n", e.what());
        }
        std::filesystem::remove_all(dir_);
    }
    PrivateSoundServer(const PrivateSoundServer&) = delete;
    PrivateSoundServer& operator=(const PrivateSoundServer&) = delete;

    void start() {
        setenv("PULSE_SERVER", runCommand(script() + " start " + dir_ + " " + options_).c_str(), 1);
    }
    void stop() { runCommand(script() + " stop " + dir_); }
    // The server process; 0 while it is stopped.
    int pid() const {
        int pid = 0;
        std::ifstream(dir_ + "/pid") >> pid;
        return pid;
    }

  private:
    static std::string script() { return std::string(KW_SCRIPTS_DIR) + "/pa_server.sh"; }
    std::string options_;
    std::string dir_;
};

// A private sound server (scripts/pa_server.sh) in a fresh temporary directory, for tests and
// benchmarks: PULSE_SERVER points at it while it runs; it is stopped and removed at the end.
#pragma once

#ifdef _WIN32
#include <string>

// Under Wine a Windows program can start a Unix program but cannot wait for it, and Wine's audio
// driver reads PULSE_SERVER once, when the process starts. So the test run starts the server with
// its environment, and this only stands for it: it cannot control the server or stop it.
class PrivateSoundServer {
  public:
    explicit PrivateSoundServer(const std::string& = "") {}
    PrivateSoundServer(const PrivateSoundServer&) = delete;
    PrivateSoundServer& operator=(const PrivateSoundServer&) = delete;
};
#else
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
    std::string out;
    char chunk[256];
    while (size_t n = pipe ? fread(chunk, 1, sizeof chunk, pipe) : 0) out.append(chunk, n);
    if (!pipe || pclose(pipe) != 0) throw std::runtime_error("failed: " + command);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

class PrivateSoundServer {
  public:
    // options: those of pa_server.sh start, e.g. "--no-cable".
    explicit PrivateSoundServer(const std::string& options = "") {
        char dir[] = "/tmp/kw_sound_server.XXXXXX";
        dir_ = mkdtemp(dir) ? dir : throw std::runtime_error("mkdtemp");
        try {
            const std::string owner = " --owner " + std::to_string(getpid());
            setenv("PULSE_SERVER",
                   runCommand(script() + " start " + dir_ + " " + options + owner).c_str(), 1);
        } catch (...) {
            std::filesystem::remove_all(dir_);
            throw;
        }
    }
    ~PrivateSoundServer() {
        std::system((script() + " stop " + dir_).c_str());
        std::filesystem::remove_all(dir_);
    }
    PrivateSoundServer(const PrivateSoundServer&) = delete;
    PrivateSoundServer& operator=(const PrivateSoundServer&) = delete;

    int pid() const {
        int pid = 0;
        std::ifstream(dir_ + "/pid") >> pid;
        return pid;
    }

  private:
    static std::string script() { return std::string(KW_SCRIPTS_DIR) + "/pa_server.sh"; }
    std::string dir_;
};
#endif

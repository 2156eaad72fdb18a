// The audio engine: the capture stream, the monitor and cable outputs, the active voice and the
// soundboard. Its operations may come from any thread and take the engine's lock one at a time
// (the commands, and the program's service calls); the streams' threads only run the audio path
// and never take it.
#pragma once

#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "audio/kw_audio.h"
#include "engine/audio_path.h"
#include "engine/neural_voices.h"

// What the front end's status, level and latency replies show, read once each.
struct EngineStatus {
    bool running = false;
    std::string engine;  // kind of the active voice
    std::string voice;
    int sampleRate = 48000;
    int channels = 2;
    bool cableActive = false;
    double latencyMs = 0.0;
    float level = 0.0f;
    uint32_t underruns = 0;
    bool muted = false;
    bool monitor = false;
    double procUsPerBlock = 0.0;
    // Beyond the protocol's replies, for live figures.
    struct Output {
        double periodMs = 0.0;
        double queuedMs = 0.0;      // audio waiting in its ring
        double cushionMs = 0.0;     // what the ring is kept at
        double ratioPpm = 0.0;      // how far the conversion follows the output's clock
        double conversionMs = 0.0;  // the rate conversion's delay
        uint32_t underruns = 0;
    };
    Output monitorOut, cableOut;  // zero while closed
    double capturePeriodMs = 10.0;
    uint64_t discardedFrames = 0;
};

class Engine {
  public:
    // neural: how voice files become voices; null when the engine offers presets only.
    Engine(std::string modelDir, const NeuralVoices* neural);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    bool start(std::string& err);
    void stop();
    // A few times a second, beside the commands: when the streams failed (the sound server or a
    // device went away) the engine stops them and keeps reopening the devices it was started on,
    // at most once a second, until they are back or stop is called; a cable that comes back is
    // taken up again. Meanwhile status reports it stopped.
    void service();
    // Used by the next start.
    void setInput(const std::string& name);
    void setOutput(const std::string& name);

    bool setVoice(const std::string& name, std::string& err);
    bool setParam(const std::string& name, double value, std::string& err);
    // Each returns the setting as stored.
    bool setMuted(bool muted);
    bool setMonitor(bool on);
    float setClipVolume(float volume);

    // A clip of interleaved samples in the engine's format; it replaces the one playing.
    void sbPlay(std::vector<float> clip);
    void sbStop();
    bool sbPlaying() const;

    std::string modelDir() const;
    void setModelDir(const std::string& dir);
    // The neural voices of the model directory, by the names setVoice accepts.
    std::vector<std::string> neuralVoices() const;

    EngineStatus status() const;

  private:
    // With the lock held.
    bool open(std::string& err);
    void close();
    bool openOutput(AudioPath::Output output, std::unique_ptr<KwRender>& stream,
                    const std::string& id, std::string& err);
    void closeStreams();
    bool streamsFailed() const;
    double latencyMs() const;

    mutable std::mutex mutex_;  // guards everything below; never taken by an audio thread
    const NeuralVoices* neural_;
    AudioPath path_;
    KwCapture capture_;
    std::unique_ptr<KwRender> monitorOut_;
    std::unique_ptr<KwRender> cableOut_;
    std::string inputName_;
    std::string outputName_;
    std::string voiceName_ = "original";
    std::string modelDir_;
    bool running_ = false;
    bool cableActive_ = false;
    // Recovery: the front end wants the engine running (a start succeeded, no stop since).
    bool wanted_ = false;
    bool cableWanted_ = false;  // the cable was open when it was started
    double nextAttempt_ = 0.0;  // kwNow() of the next reopening or look for the cable
    double retryAfter_ = 0.0;   // seconds
    int sampleRate_ = 48000;
    int channels_ = 2;
    double captureLatencyMs_ = 10.0;
    double renderLatencyMs_ = 10.0;
};

// Decibels of a linear level for status reports; -120 for silence.
inline float levelDb(float level) {
    return level > 1e-6f ? 20.0f * std::log10(level) : -120.0f;
}

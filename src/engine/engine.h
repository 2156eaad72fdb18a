// The audio engine: capture stream, monitor and cable outputs, the rings between
// them, the active voice and the soundboard.
#pragma once

#include <atomic>
#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "audio/kw_audio.h"
#include "dsp/dsp_chain.h"
#include "engine/render_from_ring.h"
#include "engine/ring_buffer.h"
#include "engine/voice_model.h"

class Engine {
  public:
    // Blocks larger than this are dropped by the capture path (the chain's pitch scratch size).
    static constexpr int kMaxBlockFrames = DspChain::kMaxPitchFrames;
    // The effect chain's limit; devices with more channels are refused at start.
    static constexpr int kMaxChannels = DspChain::kMaxChannels;

    Engine();
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    bool start(std::string& err);
    void stop();
    void setInput(const std::string& name) { inputName = name; }
    void setOutput(const std::string& name) { outputName = name; }

    bool setVoice(const std::string& name, std::string& err);
    bool setParam(const std::string& name, double value, std::string& err);

    void onCapture(const float* in, int frames);
    void sbPlay(std::vector<float> clip);
    void sbStop();
    bool sbPlaying() const;

    double latencyMs() const;
    uint32_t underruns() const;
    // Frames the render callbacks dropped to keep the output from lagging behind the capture.
    uint64_t discardedFrames() const { return discarded_.load(); }

    KwCapture capture;
    std::unique_ptr<KwRender> monitorOut;
    std::unique_ptr<KwRender> cableOut;
    std::unique_ptr<RingBuffer> monitorRing;
    std::unique_ptr<RingBuffer> cableRing;
    std::unique_ptr<VoiceModel> model;
    DspChain postChain;
    std::mutex modelMutex;
    mutable std::mutex sbMutex;
    std::vector<float> sbClip;
    size_t sbPos = 0;
    std::atomic<float> sbVol{0.8f};
    std::string inputName;
    std::string outputName;
    std::string voiceName = "original";
    std::string modelDir;
    std::atomic<bool> running{false};
    std::atomic<float> level{0.0f};
    std::atomic<double> procUsPerBlock{0.0};
    std::atomic<bool> muted{false};
    std::atomic<float> monitorGain{0.0f};
    std::atomic<float> outputGain{1.0f};
    bool cableActive = false;
    int sampleRate = 48000;
    int channels = 2;
    double captureLatencyMs = 10.0;
    double renderLatencyMs = 10.0;

  private:
    bool setNeuralVoice(const std::string& name, std::string& err);

    bool openRender(std::unique_ptr<KwRender>& out, std::unique_ptr<RingBuffer>& ring,
                    LagWindow& lag, const std::string& id, std::string& err);
    int render(RingBuffer& ring, LagWindow& lag, const KwRender& stream, float* out, int frames);
    void closeStreams();

    // Capture-path working buffers for the largest block, so that the audio thread never allocates.
    std::vector<float> buf_;
    std::vector<float> sbBlock_;
    std::vector<float> silence_;
    // Ring fill beyond one render request that is dropped at once, in samples.
    std::atomic<size_t> backlogSamples_{0};
    std::atomic<size_t> largestCaptureBlock_{0};  // samples, over the last second
    struct {
        size_t largest = 0;
        int frames = 0;
    } blockWindow_;  // capture thread only
    std::atomic<uint64_t> discarded_{0};
    LagWindow monitorLag_;
    LagWindow cableLag_;
};

// Decibels of a linear level for status reports; -120 for silence.
inline float levelDb(float level) {
    return level > 1e-6f ? 20.0f * std::log10(level) : -120.0f;
}

// Changes one field of the chain's parameter record by its protocol name.
bool applyDspParam(DspChain& chain, const std::string& name, double value, std::string& err);

// A neural voice as a voice model: the capture thread only resamples into an input ring and
// plays from an output ring; a worker thread converts whole chunks in between.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "rvc/polyphase_resampler.h"
#include "rvc/rvc_converter.h"
#include "voice/ring_buffer.h"
#include "voice/voice_model.h"

class OnnxRvcModel : public VoiceModel {
  public:
    // modelDir: where the voice files are, and the first place to look for the base networks.
    explicit OnnxRvcModel(std::string modelDir);
    ~OnnxRvcModel() override;

    bool load(const std::string& name, std::string& error) override;
    void process(float* buffer, int frames) override;
    void init(int channels, float sampleRate) override;
    int latencySamples() const override;
    std::string kind() const override { return "rvc-onnx"; }
    std::string current() const override { return currentVoice_; }
    // Takes "pitch" (semitones); the engine's effects take the rest.
    bool setParam(const std::string& name, double value, std::string& err) override;
    bool wantsEffectsAfter() const override { return true; }

    // The user's shift in semitones, clamped to +-12, on top of the voice's own.
    void setPitchSemitones(float semitones);
    float pitchFactor() const { return converter_.pitchFactor.load(std::memory_order_relaxed); }

    struct Figures {
        size_t inputQueued;   // 16 kHz samples waiting for the worker
        size_t outputQueued;  // device-rate samples waiting for the capture thread
        double lastChunkMs;   // how long the last conversion took
        int chunksDone;       // chunks converted since the voice was loaded
        int chunkSamples;     // 16 kHz samples per chunk, as the voice accepted them
    };
    Figures figures() const;

    void stopWorker();
    // The worker's step: converts one chunk when the input ring holds enough for it, and plays it
    // into the output ring. With the worker stopped, a caller may drive the stream itself.
    bool convertAvailableChunk();

  private:
    void startWorker();
    void workerMain();
    void push16k(const float* mono, size_t n);

    // Command thread, while no worker runs.
    RvcConverter converter_;
    const std::string modelDir_;
    std::string currentVoice_;
    bool voiceReady_ = false;
    int channels_ = 2;
    float sampleRate_ = 48000.0f;
    std::unique_ptr<PolyphaseResampler> inResampler_;   // then the capture thread's
    std::unique_ptr<PolyphaseResampler> outResampler_;  // then the worker's
    float baseFactor_ = 1.0f;
    std::thread worker_;

    // Between the capture thread and the worker: one writer per ring side, and flags.
    RingBuffer inFifo_{131073};
    RingBuffer outFifo_{262145};
    std::atomic<bool> running_{false};      // command thread
    std::atomic<bool> wake_{false};         // capture thread sets, worker clears
    std::atomic<int> chunksDone_{0};        // worker
    std::atomic<double> lastChunkMs_{0.0};  // worker
    std::atomic<size_t> droppedIn_{0};      // capture thread counts, worker reports

    // The worker's; load touches them only while no worker runs.
    std::vector<float> history_;
    std::vector<float> pending_;
    std::vector<float> tail_;
    bool hasTail_ = false;
    std::vector<float> window_;
    std::vector<float> converted_;
    std::vector<float> resampledOut_;
    std::string error_;

    // The capture thread's, sized for the largest block so that process never allocates.
    std::vector<float> mono_;
    std::vector<float> resampled_;
    std::vector<float> block_;
};

// A neural voice as a voice model: the capture thread only resamples into an input ring and
// plays from an output ring; a worker thread converts whole chunks in between.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/ring_buffer.h"
#include "engine/voice_model.h"
#include "rvc/polyphase_resampler.h"
#include "rvc/rvc_converter.h"

class OnnxRvcModel : public VoiceModel {
  public:
    OnnxRvcModel();
    ~OnnxRvcModel() override;

    bool load(const std::string& name, std::string& error) override;
    void process(float* buffer, int frames) override;
    void init(int channels, float sampleRate) override;
    int latencySamples() const override;
    std::string kind() const override { return "rvc-onnx"; }
    std::string current() const override { return currentVoice; }

    // The user's shift in semitones, clamped to ±12, on top of the voice's own.
    void setPitchSemitones(float semitones);
    void stopWorker();
    // The worker's step: converts one chunk when the input ring holds enough for it, and plays it
    // into the output ring. With the worker stopped, a caller may drive the stream itself.
    bool convertAvailableChunk();

    RvcConverter converter;
    std::string modelDir;
    std::string currentVoice;
    bool voiceReady = false;
    int channels = 2;
    float sampleRate = 48000.0f;
    std::unique_ptr<PolyphaseResampler> inResampler;
    std::unique_ptr<PolyphaseResampler> outResampler;
    RingBuffer inFifo{131073};
    RingBuffer outFifo{262145};
    std::atomic<bool> running{false};
    std::atomic<bool> wake{false};
    std::atomic<int> chunksDone{0};
    std::atomic<double> lastChunkMs{0.0};
    float baseFactor = 1.0f;
    float semitones = 0.0f;

  private:
    void startWorker();
    void workerMain();
    void push16k(const float* mono, size_t n);

    std::thread worker_;
    // Worker state: touched by load only while no worker runs.
    std::vector<float> history_;
    std::vector<float> pending_;
    std::vector<float> tail_;
    bool hasTail_ = false;
    std::vector<float> window_;
    std::vector<float> converted_;
    std::vector<float> resampledOut_;
    std::string error_;
    // Capture-side scratch, sized for the largest block so that process never allocates.
    std::vector<float> mono_;
    std::vector<float> resampled_;
    std::vector<float> block_;
    std::atomic<size_t> droppedIn_{0};
};

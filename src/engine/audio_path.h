// The engine's real-time side: what the capture callback does with every block (mute, level, the
// voice, effects after a neural voice, gain, soundboard, the outputs' rings) and what each render
// callback plays. The command thread changes all of it through hand-overs that never make an
// audio thread wait, allocate or log.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dsp/dsp_chain.h"
#include "dsp/smoothed_value.h"
#include "engine/output_feed.h"
#include "voice/latest_value.h"
#include "voice/ring_buffer.h"
#include "voice/voice_model.h"

class AudioPath {
  public:
    // Blocks larger than this are dropped (the chain's pitch scratch size).
    static constexpr int kMaxBlockFrames = DspChain::kMaxPitchFrames;
    static constexpr int kMaxChannels = DspChain::kMaxChannels;
    enum Output { kMonitor, kCable };

    explicit AudioPath(std::unique_ptr<VoiceModel> voice);
    ~AudioPath();
    AudioPath(const AudioPath&) = delete;
    AudioPath& operator=(const AudioPath&) = delete;

    // Command thread. An output's feed exists from openOutput until closeOutput (after its
    // stream has closed); until begin it plays silence. setOutputFormat tells the feed what its
    // stream plays. begin makes the capture callback process blocks of the given format and
    // prepares the feeds' conversion (the clock is the one the streams run by); end makes the
    // capture callback drop blocks again.
    void openOutput(Output output);
    void setOutputFormat(Output output, const OutputFeed::Format& format);
    void closeOutput(Output output);
    void begin(int channels, int sampleRate, double capturePeriodMs, OutputFeed::Clock clock);
    void end();

    // Command thread, any time. The voice that was sounding comes back once no audio thread can
    // be inside it any more; the caller frees it there.
    std::unique_ptr<VoiceModel> swapVoice(std::unique_ptr<VoiceModel> next);
    const VoiceModel& voice() const { return *voice_.load(std::memory_order_relaxed); }
    VoiceModel& voice() { return *voice_.load(std::memory_order_relaxed); }
    // A named parameter: the output gain, or one the voice takes, or one for the effects after a
    // voice that wants them. False with err when nobody takes it.
    bool setParam(const std::string& name, double value, std::string& err);
    void setMuted(bool muted) { muted_.store(muted); }
    void setMonitor(bool on) { monitor_.store(on ? 1.0f : 0.0f); }
    void setClipVolume(float volume) { clipVolume_.store(volume); }
    // A clip in the engine's format; it replaces the one playing, from its first frame on.
    void play(std::vector<float> clip);
    void stopClip() { play({}); }

    bool muted() const { return muted_; }
    bool monitoring() const { return monitor_ > 0.0f; }
    float clipVolume() const { return clipVolume_; }
    bool clipPlaying() const;
    float level() const { return level_; }
    double procUsPerBlock() const { return procUsPerBlock_; }
    // An output's feed, for its figures; null when it is closed.
    const OutputFeed* feed(Output output) const {
        return feeds_[output] ? &feeds_[output]->feed : nullptr;
    }
    // Milliseconds of audio waiting in an output's ring; 0 when it is closed.
    double queuedMs(Output output) const;
    // Frames the outputs dropped after stalls.
    uint64_t discardedFrames() const;

    // Capture thread.
    void capture(const float* in, int frames);
    // An output's render thread: fills frames of `channels` (its stream's) in the output's
    // format; returns the frames that carried audio. serverUnderruns: the stream's count of
    // times it ran dry.
    int render(Output output, float* out, int frames, int channels, uint32_t serverUnderruns);

  private:
    struct Clip {
        std::vector<float> samples;
        size_t position = 0;
        Clip* next = nullptr;  // in the stack of clips to free
    };
    struct Feed {
        OutputFeed feed;
        OutputFeed::Format format;  // command thread
    };

    void retire(Clip* clip);
    void freeRetiredClips();
    void mixClip(float* buf, size_t n, float* clipOut, size_t& mixed);

    std::atomic<VoiceModel*> voice_;              // command thread swaps, capture thread reads
    std::atomic<bool> inBlock_{false};            // capture thread: inside a block
    std::atomic<uint64_t> blocks_{0};             // capture thread: blocks finished
    DspChain effects_;                            // capture thread; prepared by begin
    DspParams effectsControl_;                    // command thread
    LatestValue<DspParams> effectsPending_;       // command to capture thread
    std::array<std::unique_ptr<Feed>, 2> feeds_;  // command thread opens and closes

    // Written by the command thread, read by the capture thread.
    std::atomic<bool> running_{false};
    std::atomic<bool> muted_{false};
    std::atomic<float> monitor_{0.0f};
    std::atomic<float> gain_{1.0f};
    std::atomic<float> clipVolume_{0.8f};
    std::atomic<Clip*> incoming_{nullptr};  // the next clip; taken by the capture thread
    int channels_ = 2;                      // set by begin before blocks are processed
    int sampleRate_ = 48000;

    // Capture thread.
    SmoothedValue appliedGain_;
    Clip* playing_ = nullptr;
    std::vector<float> buf_;
    std::vector<float> clipBlock_;
    std::vector<float> silence_;

    // Written by the capture thread, read by others.
    std::atomic<Clip*> retired_{nullptr};  // clips to free, freed by the command thread
    std::atomic<bool> clipSounding_{false};
    std::atomic<float> level_{0.0f};
    std::atomic<double> procUsPerBlock_{0.0};
};

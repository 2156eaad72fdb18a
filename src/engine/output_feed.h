// One output's side of the engine: the ring the capture thread fills in the engine's format, and
// what the output's render thread makes of it. The signal is converted to the output's rate and
// channels; the conversion ratio follows the output's clock, so that the ring's fill stays at a
// cushion instead of running dry or piling up; the cushion grows after an underrun and shrinks
// again after a long quiet stretch. Only a real stall still drops audio.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "dsp/stream_resampler.h"
#include "voice/ring_buffer.h"

class OutputFeed {
  public:
    struct Format {
        int rate = 48000;
        int channels = 2;
        double periodMs = 10.0;  // what one render callback usually asks for
        int maxFrames = 1920;    // the most one render callback asks for
    };

    // Seconds on the clock the streams run by.
    using Clock = double (*)();

    // Command thread, while the render thread only plays silence (before `ready`): sizes the
    // conversion from the engine's format to the output's. Allocates.
    void prepare(int engineRate, int engineChannels, double capturePeriodMs, const Format& out,
                 Clock clock);
    bool ready() const { return ready_.load(std::memory_order_acquire); }

    // Capture thread: a block in the engine's format.
    void write(const float* samples, size_t count) {
        ring_.write(samples, count);
        lastWrite_.store(clock_(), std::memory_order_release);
    }

    // Render thread: fills frames x channels (the stream's own count: until prepared, the feed
    // knows no format); returns the frames that carried audio. serverUnderruns is the stream's
    // own count of times it ran dry, which also raises the cushion.
    int render(float* out, int frames, int channels, uint32_t serverUnderruns);

    // Any thread.
    double queuedMs() const;
    double conversionDelayMs() const { return delayMs_.load(std::memory_order_relaxed); }
    double cushionMs() const { return cushionMs_.load(std::memory_order_relaxed); }
    double ratioPpm() const { return ratioPpm_.load(std::memory_order_relaxed); }
    uint64_t droppedFrames() const { return dropped_.load(std::memory_order_relaxed); }

  private:
    int renderPiece(float* out, int frames);
    double level(size_t fill) const;
    void adjustCushion(double seconds, bool ranDry, double slack);

    RingBuffer ring_;
    std::atomic<bool> ready_{false};    // command thread sets it once prepared
    Clock clock_ = nullptr;             // set by prepare
    std::atomic<double> lastWrite_{0};  // capture thread: when its last block came

    // Set by prepare, then the render thread's.
    int engineRate_ = 48000;
    int engineChannels_ = 2;
    Format out_;
    int convertedChannels_ = 2;    // the lesser of the two layouts: what the resampler carries
    double capturePeriod_ = 0.01;  // seconds
    // In frames of the engine's rate.
    double captureFrames_ = 480.0;
    double requestFrames_ = 480.0;
    double baseCushion_ = 0.0;
    double cushion_ = 0.0;
    double target_ = 0.0;  // the cushion, smoothed
    double averageFill_ = 0.0;
    double integral_ = 0.0;
    double ratio_ = 0.0;  // relative to the nominal step
    double quietSeconds_ = 0.0;
    double leastSlack_ = 0.0;  // frames, over the quiet stretch
    bool priming_ = true;
    bool playing_ = false;  // since the first time the cushion was reached
    uint32_t serverUnderruns_ = 0;
    StreamResampler resampler_;
    std::vector<float> input_;
    std::vector<float> mapped_;
    std::vector<float> converted_;

    // Written by the render thread (prepare before it), read by others.
    std::atomic<double> delayMs_{0.0};
    std::atomic<double> cushionMs_{0.0};
    std::atomic<double> ratioPpm_{0.0};
    std::atomic<uint64_t> dropped_{0};
};

// Sample-rate conversion of a live stream at any ratio, which may change a little from call to
// call (to follow a drifting clock). A Kaiser-windowed sinc, tabulated in rows of fractional
// positions and interpolated between rows: flat to 0.1 dB up to 90 % of the lower Nyquist
// frequency, images and aliases about 94 dB down, a delay of 60 samples at the lower rate.
#pragma once

#include <vector>

class StreamResampler {
  public:
    // Command thread: designs the filter and sizes every buffer for calls of up to maxFrames
    // output frames at up to 1.001 times the nominal step. Rates from 1000 to 1000000 Hz.
    void prepare(int inRate, int outRate, int channels, int maxFrames);
    // Silence as history; the next output is the first.
    void reset();

    // Input frames per output frame, as the two rates have it.
    double nominalStep() const { return nominalStep_; }
    // Input frames that process(outFrames, step) takes; never more than mostInputFor(outFrames)
    // within the headroom.
    int inputFor(int outFrames, double step) const;
    int mostInputFor(int outFrames) const;
    // Reads inputFor(outFrames, step) interleaved frames from `in` and writes outFrames
    // interleaved frames to `out`; step is input frames per output frame. Never allocates.
    void process(const float* in, float* out, int outFrames, double step);
    // How late the output is, in input frames.
    double delayFrames() const { return half_; }

  private:
    int channels_ = 1;
    int taps_ = 0;  // input frames under the filter
    int half_ = 0;
    int phases_ = 0;
    double nominalStep_ = 1.0;
    std::vector<float> table_;                 // (phases_ + 1) rows of taps_ coefficients
    std::vector<std::vector<float>> history_;  // per channel: frames [0, have_)
    int have_ = 0;
    double position_ = 0.0;  // of the next output, in frames of history_
    std::vector<float> coefficients_;
};

// Phase-vocoder pitch shifter for one mono stream. Any block length can be fed and the delay is
// constant: the FIFOs hold frameSize - frameSize / oversampling samples (the latency the chain
// reports); as a frame is resynthesised in line with its input and read out after one more hop,
// the signal itself comes out frameSize samples late. Only the first hop is silent for sure.
#pragma once

#include <vector>

class PitchShifter {
  public:
    // frameSize: a power of two >= 4; osamp: 1 .. frameSize; sampleRate > 0.
    // Throws std::invalid_argument otherwise.
    PitchShifter(int frameSize, int osamp, float sampleRate);

    // in and out may be the same buffer. Never allocates.
    void process(float ratio, const float* in, float* out, int n);
    void reset();

    // In-place complex FFT over frameSize points (2 * frameSize interleaved floats);
    // sign < 0 forward, otherwise inverse; unscaled either way.
    void fft(float* data, int sign);

    int frameSize() const { return n_; }
    int oversampling() const { return osamp_; }

  private:
    void processFrame(float ratio);
    void analyse();
    void shiftBins(float ratio);
    void synthesise();
    void butterflies(float* re, float* im, int points) const;

    int n_;
    int osamp_;
    float sampleRate_;
    int rover_ = 0;  // write index into inFifo_; 0 until the first shifting call
    std::vector<float> inFifo_;
    std::vector<float> outFifo_;
    std::vector<float> outAccum_;
    // Per bin 0 .. N/2.
    std::vector<float> lastPhase_;
    std::vector<float> phaseSum_;
    std::vector<float> anaFreq_;
    std::vector<float> anaPower_;  // |2X|^2
    std::vector<float> synFreq_;
    std::vector<float> synMagn_;
    std::vector<float> specRe_;  // one-sided spectrum, scaled by 2
    std::vector<float> specIm_;
    // Split real/imaginary transform buffers, frameSize each.
    std::vector<float> workRe_;
    std::vector<float> workIm_;
    // Tables fixed by the frame shape.
    std::vector<float> window_;
    std::vector<float> olaWindow_;
    std::vector<float> twiddleRe_;
    std::vector<float> twiddleIm_;
    std::vector<int> bitReverse_;
};

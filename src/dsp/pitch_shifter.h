// Phase-vocoder pitch shifter for one mono stream. Any block length can be fed and the delay is
// constant: the FIFOs hold frameSize - frameSize / oversampling samples (the latency the chain
// reports); as a frame is resynthesised in line with its input and read out after one more hop,
// the signal itself comes out frameSize samples late. Only the first hop is silent for sure.
#pragma once

#include <vector>

#include "dsp/phase_vocoder.h"

class PitchShifter {
  public:
    // The instruction sets the per-hop work is built for.
    enum class Form { kBaseline, kAvx2Fma };
    static bool runs(Form form);  // whether this build and processor run it
    static Form bestForm();

    // frameSize: a power of two >= 4; osamp: 1 .. frameSize; sampleRate > 0.
    // Throws std::invalid_argument otherwise. A form the processor cannot run falls back to the
    // baseline.
    PitchShifter(int frameSize, int osamp, float sampleRate, Form form = bestForm());
    PitchShifter(const PitchShifter&) = delete;  // frame_ points into the buffers
    PitchShifter& operator=(const PitchShifter&) = delete;

    // in and out may be the same buffer. Never allocates.
    void process(float ratio, const float* in, float* out, int n);
    void reset();

    int frameSize() const { return n_; }
    int oversampling() const { return osamp_; }

  private:
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
    std::vector<float> anaMagn_;
    std::vector<float> synFreq_;
    std::vector<float> synMagn_;
    std::vector<float> specRe_;  // one-sided spectrum, scaled by 2
    std::vector<float> specIm_;
    // Split real/imaginary transform buffers, frameSize each.
    std::vector<float> workRe_;
    std::vector<float> workIm_;
    std::vector<float> packRe_;
    std::vector<float> packIm_;
    // Tables fixed by the frame shape.
    std::vector<float> window_;
    std::vector<float> olaWindow_;
    std::vector<float> twiddleRe_;
    std::vector<float> twiddleIm_;
    std::vector<int> bitReverse_;
    PhaseVocoderFrame frame_;  // the buffers above, for the hop
    PhaseVocoderHop hop_;
};

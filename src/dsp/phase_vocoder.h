// One hop of the pitch shifter's phase vocoder: analysis of the input window, the bin shift,
// resynthesis and overlap-add, over buffers the shifter owns. The source is built once per
// instruction set (a macro names the form's namespace); the shifter picks the fastest form the
// processor runs.
#pragma once

struct PhaseVocoderFrame {
    int size = 0;  // N, a power of two >= 4
    int oversampling = 1;
    float sampleRate = 48000.0f;
    // N samples each: the analysis window being filled, the next hop's output, the overlap-add sum.
    float* inFifo = nullptr;
    float* outFifo = nullptr;
    float* outAccum = nullptr;
    // Bins 0 .. N/2.
    float* lastPhase = nullptr;
    float* phaseSum = nullptr;
    float* anaFreq = nullptr;
    float* anaMagn = nullptr;  // |2X|
    float* synFreq = nullptr;
    float* synMagn = nullptr;
    float* specRe = nullptr;  // one-sided spectrum, scaled by 2
    float* specIm = nullptr;
    // Split real and imaginary transform buffers, N each, and the synthesis spectrum packed for
    // the half-size transform, N/2 each.
    float* workRe = nullptr;
    float* workIm = nullptr;
    float* packRe = nullptr;
    float* packIm = nullptr;
    // Tables fixed by the frame shape.
    // The analysis window in transform order: the weights of the even samples as the transform
    // takes them (bit-reversed), then those of the odd samples.
    const float* window = nullptr;
    const float* olaWindow = nullptr;
    const float* twiddleRe = nullptr;  // for half span h at h + j: e^(-i pi j / h), j < h
    const float* twiddleIm = nullptr;
    const int* bitReverse = nullptr;
};

using PhaseVocoderHop = void (*)(const PhaseVocoderFrame& frame, float ratio);

namespace vocoder_baseline {
void hop(const PhaseVocoderFrame& frame, float ratio);
}
#ifdef KW_VOCODER_AVX2
namespace vocoder_avx2 {
void hop(const PhaseVocoderFrame& frame, float ratio);
}
#endif

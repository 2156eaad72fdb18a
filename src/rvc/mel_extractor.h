// Log-magnitude mel spectrogram of a 16 kHz chunk, the input of the pitch network.
#pragma once

#include <utility>
#include <vector>

struct MelConfig {
    int sampleRate;  // Hz of the samples handed to compute
    int nFft;        // frame length and FFT size; a power of two
    int hop;         // samples between frame starts; at least 1
    int nMels;       // number of mel bands
    float fmin;      // lower edge of the filterbank, Hz
    float fmax;      // upper edge of the filterbank, Hz
    float logFloor;  // smallest value passed to the logarithm
};

class MelExtractor {
  public:
    explicit MelExtractor(const MelConfig& cfg);

    // Fills `out` with nMels x T values, band-major (all T frames of band 0, then band 1, ...),
    // and returns T = n / hop + 1. Frames are centred on multiples of hop: the chunk is
    // reflected by nFft / 2 samples at both ends. Chunks are independent of each other. An
    // empty chunk (n = 0) is taken as silence, so the frame count formula holds for every
    // n >= 0: one frame of ln(logFloor) in every band.
    int compute(const float* x, int n, std::vector<float>& out);

    const MelConfig& config() const { return cfg_; }
    // nMels rows of nFft / 2 + 1 weights each, row-major.
    const std::vector<float>& filterbank() const { return filterbank_; }

  private:
    MelConfig cfg_;
    std::vector<float> window_;
    std::vector<float> filterbank_;
    // Per band, the bins from the first to past the last non-zero weight: a triangle spans a few
    // bins, so the product skips the zeros (which add nothing).
    std::vector<std::pair<int, int>> span_;
    std::vector<float> fft_;     // 2 * nFft floats, complex interleaved
    std::vector<float> padded_;  // the chunk with its reflected edges
};

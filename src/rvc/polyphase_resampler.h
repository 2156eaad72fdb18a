// Streaming rational-ratio resampler for the neural voice path: a windowed-sinc prototype
// filter of which each output sample evaluates only one polyphase branch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class PolyphaseResampler {
  public:
    // Throws std::runtime_error for rates that are not positive, a reduced ratio with a term
    // above 1024, or fewer than 1 or more than 1024 taps per phase.
    PolyphaseResampler(int inRate, int outRate, int tapsPerPhase);

    // Appends every output sample that the input so far makes computable; returns their count.
    // Without allocating beyond `out`, as long as the history fits its reserved capacity.
    size_t push(const float* in, size_t n, std::vector<float>& out);
    // Starts a new stream at input index 0.
    void reset();

    int up() const { return up_; }
    int down() const { return down_; }
    const std::vector<float>& taps() const { return taps_; }

  private:
    int up_;
    int down_;
    int length_;  // N: the prototype has N + 1 taps
    std::vector<float> taps_;
    std::vector<float> history_;
    int64_t historyBase_ = 0;  // absolute input index of history_[0]
    int64_t outputCount_ = 0;  // absolute index of the next output sample
};

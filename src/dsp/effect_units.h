// Per-sample stages of the effect chain. Each `set` computes coefficients, sizes the buffers,
// clears all history and decides `active`; `tick` runs on the audio path and never allocates.
#pragma once

#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include "dsp/fast_math.h"

// Clamps to +-limit. NaN fails every compare and would slip through a plain clamp, so it
// becomes 0; the in-range case costs one compare.
inline float limitSample(float v, float limit) {
    if (std::fabs(v) <= limit) return v;
    return v > 0.0f ? limit : (v < 0.0f ? -limit : 0.0f);
}

// Second-order filter, transposed direct form II, with state for up to 8 interleaved channels.
struct Biquad {
    enum Type : int { HighPass = 0, LowPass = 1, HighShelf = 2 };
    static constexpr int kMaxChannels = 8;

    // Any type other than HighPass and LowPass gives the high shelf; q is unused by the shelf and
    // gainDb by the two pass filters.
    void set(Type type, float f0, float q, float gainDb, float sampleRate);
    void reset();

    float tick(float x, int channel) {
        const float y = b0 * x + z1[channel];
        z1[channel] = b1 * x - a1 * y + z2[channel];
        z2[channel] = b2 * x - a2 * y;
        return y;
    }

    bool active = false;
    float b0 = 1.0f, b1 = 0.0f, b2 = 0.0f, a1 = 0.0f, a2 = 0.0f;
    int channels = 2;  // written by the chain, not read here
    float z1[kMaxChannels] = {};
    float z2[kMaxChannels] = {};
};

// Ring modulator with one oscillator shared by every sample it is fed.
struct RingMod {
    void set(float freq, float mix, float sampleRate);

    float tick(float x) {
        const float m = sinOfTurns(phase);
        phase += increment;
        if (phase >= 1.0f) phase -= 1.0f;
        return (1.0f - mix) * x + m * x * mix;
    }

    bool active = false;
    float phase = 0.0f;      // cycles, 0 to below 1
    float increment = 0.0f;  // cycles per sample
    float mix = 0.0f;
};

// Feedback delay, one line of delay + 1 samples per channel.
struct Echo {
    static constexpr float kLineLimit = 1.2f;

    // A negative delay counts as 0, which leaves the unit inactive.
    void set(float mix, float delayMs, float feedback, int channels, float sampleRate);
    // Silence in every line; never allocates.
    void clear();

    float tick(float x, int channel) {
        std::vector<float>& line = lines[channel];
        int& w = positions[channel];
        const int length = delay + 1;
        int r = w - delay;
        if (r < 0) r += length;
        const float d = line[r];
        // limitSample also keeps a NaN out of the line, where it would circulate for good.
        line[w] = limitSample(x + feedback * d, kLineLimit);
        if (++w == length) w = 0;
        return (1.0f - mix) * x + mix * d;
    }

    bool active = false;
    std::vector<std::vector<float>> lines;
    std::vector<int> positions;
    int delay = 0;  // samples
    float mix = 0.0f;
    float feedback = 0.0f;
    int channels = 2;
};

// Small reverb: per channel four damped feedback combs in parallel, then two allpasses in series.
// Every line lives in one buffer, sized by `set`.
struct Reverb {
    static constexpr int kCombs = 4;
    static constexpr int kAllpasses = 2;
    static constexpr int kMaxChannels = Biquad::kMaxChannels;
    // Line lengths at 44100 Hz, scaled to the sample rate by `set`.
    static constexpr std::array<int, kCombs> combT = {1116, 1188, 1277, 1356};
    static constexpr std::array<int, kAllpasses> allpT = {556, 441};
    static constexpr float kCombFeedback = 0.78f;
    static constexpr float kAllpassGain = 0.5f;

    struct Line {
        float* samples = nullptr;  // into storage
        int length = 0;
        int position = 0;
    };
    struct Channel {
        std::array<Line, kCombs> combs;
        std::array<float, kCombs> damping{};
        std::array<Line, kAllpasses> allpasses;
    };

    Reverb() = default;
    Reverb(const Reverb&) = delete;  // the lines point into storage
    Reverb& operator=(const Reverb&) = delete;

    // With channels below 1 only `active` is set; more than kMaxChannels count as kMaxChannels.
    void set(float mix, int channels, float sampleRate);
    // Silence in every comb and allpass; never allocates.
    void clear();

    float tick(float x, int channel) {
        // A non-finite input would circulate in the combs for good; the lines take silence instead.
        const float in = std::fabs(x) <= std::numeric_limits<float>::max() ? x : 0.0f;
        Channel& ch = lines[channel];
        float s = 0.0f;
        for (int i = 0; i < kCombs; ++i) {
            Line& c = ch.combs[i];
            float& slot = c.samples[c.position];
            const float y = slot;
            s += y;
            ch.damping[i] = ch.damping[i] * 0.8f + y * 0.2f;
            slot = in + ch.damping[i] * kCombFeedback;
            if (++c.position == c.length) c.position = 0;
        }
        s = s * 0.25f;
        for (Line& a : ch.allpasses) {
            float& slot = a.samples[a.position];
            const float b = slot;
            slot = kAllpassGain * b + s;
            s = b - kAllpassGain * s;
            if (++a.position == a.length) a.position = 0;
        }
        return (1.0f - mix) * x + mix * 0.6f * s;
    }

    bool active = false;
    float mix = 0.0f;
    int channels = 2;
    std::array<Channel, kMaxChannels> lines;  // the first `channels` are in use
    std::vector<float> storage;
};

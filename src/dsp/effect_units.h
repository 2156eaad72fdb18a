// Per-sample stages of the effect chain. Each `set` computes coefficients, sizes the buffers,
// clears all history and decides `active`; `tick` runs on the audio path and never allocates.
#pragma once

#include <array>
#include <cmath>
#include <limits>
#include <vector>

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
        const float m = std::sin(6.2831855f * phase);
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
struct Reverb {
    static constexpr int kCombs = 4;
    static constexpr int kAllpasses = 2;
    // Line lengths at 44100 Hz, scaled to the sample rate by `set`.
    static constexpr std::array<int, kCombs> combT = {1116, 1188, 1277, 1356};
    static constexpr std::array<int, kAllpasses> allpT = {556, 441};

    struct Comb {
        std::vector<float> buffer;
        int position = 0;
        float damping = 0.0f;
        float feedback = 0.78f;
    };
    struct Allp {
        std::vector<float> buffer;
        int position = 0;
        float g = 0.5f;
    };

    // With channels below 1 only `active` is set.
    void set(float mix, int channels, float sampleRate);
    // Silence in every comb and allpass; never allocates.
    void clear();

    float tick(float x, int channel) {
        // A non-finite input would circulate in the combs for good; the lines take silence instead.
        const float in = std::fabs(x) <= std::numeric_limits<float>::max() ? x : 0.0f;
        float s = 0.0f;
        for (Comb& c : combs[channel]) {
            float& slot = c.buffer[c.position];
            const float y = slot;
            s += y;
            c.damping = c.damping * 0.8f + y * 0.2f;
            slot = in + c.damping * c.feedback;
            if (++c.position == static_cast<int>(c.buffer.size())) c.position = 0;
        }
        s = s * 0.25f;
        for (Allp& a : allpasses[channel]) {
            float& slot = a.buffer[a.position];
            const float b = slot;
            slot = a.g * b + s;
            s = b - a.g * s;
            if (++a.position == static_cast<int>(a.buffer.size())) a.position = 0;
        }
        return (1.0f - mix) * x + mix * 0.6f * s;
    }

    bool active = false;
    std::vector<std::array<Comb, kCombs>> combs;
    std::vector<std::array<Allp, kAllpasses>> allpasses;
    float mix = 0.0f;
    int channels = 2;
};

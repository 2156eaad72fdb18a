#include "dsp/effect_units.h"

#include <algorithm>

void Biquad::set(Type type, float f0, float q, float gainDb, float sampleRate) {
    const float a = std::pow(10.0f, gainDb / 40.0f);
    const float w0 = 6.2831855f * f0 / sampleRate;
    const float s = std::sin(w0);
    const float c = std::cos(w0);
    float a0 = 0.0f;
    if (type == HighPass || type == LowPass) {
        const float alpha = s / (2.0f * q);
        if (type == HighPass) {
            b0 = (1.0f + c) / 2.0f;
            b1 = -(1.0f + c);
            b2 = (1.0f + c) / 2.0f;
        } else {
            b0 = (1.0f - c) / 2.0f;
            b1 = 1.0f - c;
            b2 = (1.0f - c) / 2.0f;
        }
        a0 = 1.0f + alpha;
        a1 = -2.0f * c;
        a2 = 1.0f - alpha;
    } else {
        // Fixed shelf slope 0.9; 0.11111116 is 1/0.9 - 1 in single precision.
        const float alpha = (s / 2.0f) * std::sqrt((a + 1.0f / a) * 0.11111116f + 2.0f);
        const float k = 2.0f * std::sqrt(a) * alpha;
        b0 = a * ((a + 1.0f) + (a - 1.0f) * c + k);
        b1 = -2.0f * a * ((a - 1.0f) + (a + 1.0f) * c);
        b2 = a * ((a + 1.0f) + (a - 1.0f) * c - k);
        a0 = (a + 1.0f) - (a - 1.0f) * c + k;
        a1 = 2.0f * ((a - 1.0f) - (a + 1.0f) * c);
        a2 = (a + 1.0f) - (a - 1.0f) * c - k;
    }
    b0 /= a0;
    b1 /= a0;
    b2 /= a0;
    a1 /= a0;
    a2 /= a0;
    active = true;
    reset();
}

void Biquad::reset() {
    std::fill(std::begin(z1), std::end(z1), 0.0f);
    std::fill(std::begin(z2), std::end(z2), 0.0f);
}

void RingMod::set(float freq, float mixIn, float sampleRate) {
    mix = mixIn;
    increment = freq / sampleRate;
    active = freq > 0.01f && mixIn > 0.001f;
    phase = 0.0f;
}

void Echo::set(float mixIn, float delayMs, float feedbackIn, int channelsIn, float sampleRate) {
    channels = std::max(channelsIn, 0);
    mix = mixIn;
    feedback = feedbackIn;
    const float samples = (delayMs * 0.001f) * sampleRate;
    delay = samples > 0.0f ? static_cast<int>(samples) : 0;
    lines.assign(channels, std::vector<float>(delay + 1, 0.0f));
    positions.assign(channels, 0);
    active = mix > 0.001f && delay > 8;
}

void Reverb::set(float mixIn, int channelsIn, float sampleRate) {
    mix = mixIn;
    channels = channelsIn;
    active = mix > 0.001f;
    combs.clear();
    allpasses.clear();
    if (channels < 1) return;
    const float scale = sampleRate / 44100.0f;
    std::array<Comb, kCombs> combSet;
    for (int i = 0; i < kCombs; ++i) {
        const int length = std::max(static_cast<int>(combT[i] * scale), 16);
        combSet[i].buffer.assign(length, 0.0f);
    }
    std::array<Allp, kAllpasses> allpSet;
    for (int j = 0; j < kAllpasses; ++j) {
        const int length = std::max(static_cast<int>(allpT[j] * scale), 8);
        allpSet[j].buffer.assign(length, 0.0f);
    }
    combs.assign(channels, combSet);
    allpasses.assign(channels, allpSet);
}

void Echo::clear() {
    for (std::vector<float>& line : lines) std::fill(line.begin(), line.end(), 0.0f);
}

void Reverb::clear() {
    for (auto& set : combs) {
        for (Comb& c : set) {
            std::fill(c.buffer.begin(), c.buffer.end(), 0.0f);
            c.damping = 0.0f;
        }
    }
    for (auto& set : allpasses) {
        for (Allp& a : set) std::fill(a.buffer.begin(), a.buffer.end(), 0.0f);
    }
}

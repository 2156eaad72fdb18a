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
    channels = std::min(channelsIn, kMaxChannels);
    active = mix > 0.001f;
    lines = {};
    storage.clear();
    if (channels < 1) return;
    const float scale = sampleRate / 44100.0f;
    std::array<int, kCombs> combLength;
    std::array<int, kAllpasses> allpassLength;
    size_t perChannel = 0;
    for (int i = 0; i < kCombs; ++i) {
        combLength[i] = std::max(static_cast<int>(combT[i] * scale), 16);
        perChannel += combLength[i];
    }
    for (int j = 0; j < kAllpasses; ++j) {
        allpassLength[j] = std::max(static_cast<int>(allpT[j] * scale), 8);
        perChannel += allpassLength[j];
    }
    storage.assign(perChannel * channels, 0.0f);
    float* next = storage.data();
    for (int c = 0; c < channels; ++c) {
        for (int i = 0; i < kCombs; ++i) {
            lines[c].combs[i] = {next, combLength[i], 0};
            next += combLength[i];
        }
        for (int j = 0; j < kAllpasses; ++j) {
            lines[c].allpasses[j] = {next, allpassLength[j], 0};
            next += allpassLength[j];
        }
    }
}

void Echo::clear() {
    for (std::vector<float>& line : lines) std::fill(line.begin(), line.end(), 0.0f);
}

void Reverb::clear() {
    std::fill(storage.begin(), storage.end(), 0.0f);
    for (Channel& ch : lines) ch.damping = {};
}

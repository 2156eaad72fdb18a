#include "dsp/dsp_chain.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "dsp/presets.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

const char* const kAllPresets[] = {"original", "roboter", "daemon", "tief",  "chipmunk",
                                   "yuki",     "lena",    "funk",   "radio", "studio",
                                   "asmr",     "alien",   "cyborg", "echo"};

// Voice-like test signal: a few harmonics of a gliding fundamental plus a little noise.
std::vector<float> voice(int n, float sampleRate = 48000.0f, unsigned seed = 1) {
    std::vector<float> x(n);
    double phase = 0.0;
    unsigned r = seed;
    for (int i = 0; i < n; ++i) {
        const double f0 = 120.0 + 60.0 * std::sin(2.0 * kPi * i / (3.0 * sampleRate));
        phase += 2.0 * kPi * f0 / sampleRate;
        double h = 0.0;
        for (int k = 1; k <= 8; ++k) h += std::sin(k * phase) / k;
        r = r * 1664525u + 1013904223u;
        x[i] = static_cast<float>(0.3 * h + 0.02 * (double(r >> 8) / double(1u << 24) - 0.5));
    }
    return x;
}

DspParams preset(const std::string& name) {
    bool ok = false;
    const DspParams p = presetByName(name, ok);
    EXPECT_TRUE(ok) << name;
    return p;
}

std::vector<float> run(const DspParams& p, std::vector<float> block, int channels = 1,
                       int blockFrames = 480) {
    DspChain chain;
    chain.init(channels, 48000.0f);
    chain.setParams(p);
    const int frames = static_cast<int>(block.size()) / channels;
    for (int start = 0; start < frames; start += blockFrames) {
        chain.process(block.data() + start * channels, std::min(blockFrames, frames - start));
    }
    return block;
}

}  // namespace

TEST(DspChainTest, DefaultParamsClipToOneAndAHalfWithoutDelay) {
    DspChain chain;
    chain.init(2, 48000.0f);
    EXPECT_EQ(chain.latencySamples(), 0);
    std::vector<float> block = {0.0f, 0.25f, -0.7f, 1.5f, -1.5f, 1.6f, -2.0f, 30.0f, kInf, -kInf};
    const std::vector<float> in = block;
    chain.process(block.data(), 5);
    for (size_t i = 0; i < in.size(); ++i) {
        EXPECT_EQ(block[i], std::clamp(in[i], -1.5f, 1.5f)) << i;
    }
}

TEST(DspChainTest, NaNLeavesTheFinalLimitAsZero) {
    DspChain chain;
    chain.init(1, 48000.0f);
    float block[3] = {0.5f, kNaN, -0.5f};
    chain.process(block, 3);
    EXPECT_EQ(block[0], 0.5f);
    EXPECT_EQ(block[1], 0.0f);
    EXPECT_EQ(block[2], -0.5f);
}

// One NaN sample must not poison any stage for good: every preset treats it like a 0 sample.
TEST(DspChainTest, NaNInputActsAsSilenceInEveryPreset) {
    for (const char* name : kAllPresets) {
        const std::vector<float> x = voice(12000);
        std::vector<float> withNaN = x, withZero = x;
        withNaN[3000] = kNaN;
        withZero[3000] = 0.0f;
        const std::vector<float> a = run(preset(name), withNaN);
        const std::vector<float> b = run(preset(name), withZero);
        for (size_t i = 0; i < a.size(); ++i) ASSERT_EQ(a[i], b[i]) << name << " at " << i;
    }
}

TEST(DspChainTest, PitchToleranceAndLatency) {
    DspChain chain;
    chain.init(1, 48000.0f);
    DspParams p;
    p.pitchRatio = 1.00005f;
    chain.setParams(p);
    EXPECT_EQ(chain.latencySamples(), 0);
    std::vector<float> block = voice(960);
    const std::vector<float> in = block;
    chain.process(block.data(), 960);
    EXPECT_EQ(block, in);

    p.pitchRatio = 1.0002f;
    chain.setParams(p);
    EXPECT_EQ(chain.latencySamples(), 896);
    chain.process(block.data(), 960);
    EXPECT_NE(block, in);

    // No shifters yet: no latency whatever the ratio.
    DspChain fresh;
    fresh.setParams(p);
    EXPECT_EQ(fresh.latencySamples(), 0);
}

TEST(DspChainTest, StereoRingModulatorAdvancesPerSample) {
    DspParams p;
    p.ringHz = 35.0f;
    p.ringMix = 0.85f;
    const int frames = 4800;
    std::vector<float> block(2 * frames);
    for (int i = 0; i < frames; ++i) {
        block[2 * i] = 0.5f;
        block[2 * i + 1] = -0.25f;
    }
    const std::vector<float> out = run(p, block, 2);
    // One oscillator for both channels: left and right see successive values, so one frame
    // advances the phase by 70 / 48000 cycles.
    const float increment = 35.0f / 48000.0f;
    float phase = 0.0f;
    for (int k = 0; k < 2 * frames; ++k) {
        const double m = std::sin(2.0 * kPi * phase);
        phase += increment;
        if (phase >= 1.0f) phase -= 1.0f;
        const double x = block[k];
        ASSERT_NEAR(out[k], 0.15 * x + m * x * 0.85, 1e-6) << k;
    }
}

TEST(DspChainTest, StageThresholds) {
    const std::vector<float> x = voice(4800);
    DspParams p;
    p.formant = 0.05f;
    EXPECT_EQ(run(p, x), x);
    p.formant = -0.05f;
    EXPECT_EQ(run(p, x), x);
    p.formant = 0.06f;
    EXPECT_NE(run(p, x), x);

    p = DspParams{};
    p.highpassHz = 1.0f;
    p.lowpassHz = 1.0f;
    p.drive = 0.01f;
    EXPECT_EQ(run(p, x), x);
    p.highpassHz = 1.5f;
    EXPECT_NE(run(p, x), x);
}

TEST(DspChainTest, SingleStagesMatchClosedForms) {
    const std::vector<float> x = voice(4800);
    DspParams p;
    p.drive = 3.0f;
    p.gain = 1.3f;
    const std::vector<float> driven = run(p, x);
    for (size_t i = 0; i < x.size(); ++i) {
        ASSERT_NEAR(driven[i], std::clamp(std::tanh(3.0 * x[i]) * 1.3, -1.5, 1.5), 1e-6) << i;
    }

    // A low-pass alone attenuates a 10 kHz tone as the 2500 Hz prototype says.
    p = DspParams{};
    p.lowpassHz = 2500.0f;
    std::vector<float> tone(9600);
    for (size_t i = 0; i < tone.size(); ++i) tone[i] = std::sin(2.0 * kPi * 10000.0 * i / 48000.0);
    const std::vector<float> low = run(p, tone);
    const double omega = std::tan(kPi * 10000.0 / 48000.0) / std::tan(kPi * 2500.0 / 48000.0);
    const double expected = 1.0 / std::hypot(1.0 - omega * omega, omega / 0.707);
    const float peak = *std::max_element(low.begin() + 4800, low.end());
    EXPECT_NEAR(peak, expected, 2e-3);
}

// Every stage but the shifter at once, stereo, against the units wired up by hand in the
// described order: ring, shelf, high-pass, low-pass, drive, echo, reverb, gain, limit.
TEST(DspChainTest, StagesRunInTheDescribedOrder) {
    DspParams p;
    p.formant = 3.0f;
    p.ringHz = 35.0f;
    p.ringMix = 0.85f;
    p.highpassHz = 300.0f;
    p.lowpassHz = 3000.0f;
    p.drive = 2.0f;
    p.echoMix = 0.3f;
    p.echoMs = 20.0f;
    p.reverbMix = 0.2f;
    p.gain = 1.7f;
    const float rate = 48000.0f;
    RingMod ring;
    ring.set(p.ringHz, p.ringMix, rate);
    Biquad shelf, highPass, lowPass;
    shelf.set(Biquad::HighShelf, 3000.0f, 0.707f, p.formant, rate);
    highPass.set(Biquad::HighPass, p.highpassHz, 0.707f, 0.0f, rate);
    lowPass.set(Biquad::LowPass, p.lowpassHz, 0.707f, 0.0f, rate);
    Echo echo;
    echo.set(p.echoMix, p.echoMs, p.echoFeedback, 2, rate);
    Reverb reverb;
    reverb.set(p.reverbMix, 2, rate);

    const std::vector<float> left = voice(6000, rate, 1), right = voice(6000, rate, 2);
    std::vector<float> block(12000);
    for (int i = 0; i < 6000; ++i) {
        block[2 * i] = left[i];
        block[2 * i + 1] = -right[i];
    }
    const std::vector<float> out = run(p, block, 2);
    for (int k = 0; k < 12000; ++k) {
        const int c = k % 2;
        float x = ring.tick(block[k]);
        x = lowPass.tick(highPass.tick(shelf.tick(x, c), c), c);
        x = reverb.tick(echo.tick(std::tanh(p.drive * x), c), c);
        ASSERT_EQ(out[k], std::clamp(x * p.gain, -1.5f, 1.5f)) << k;
    }
}

TEST(DspChainTest, GainIsLimited) {
    DspParams p;
    p.gain = 2.0f;
    const std::vector<float> out = run(p, {1.0f, -1.0f, 0.5f});
    EXPECT_EQ(out, (std::vector<float>{1.5f, -1.5f, 1.0f}));
}

TEST(DspChainTest, OversizedBlockSkipsOnlyThePitchStage) {
    DspParams shifted;
    shifted.pitchRatio = 2.0f;
    shifted.lowpassHz = 3000.0f;
    shifted.gain = 0.8f;
    DspParams plain = shifted;
    plain.pitchRatio = 1.0f;
    const std::vector<float> x = voice(8193);
    EXPECT_EQ(run(shifted, x, 1, 8193), run(plain, x, 1, 8193));
    // 8192 frames still shift: the shifter's delay opens with silence.
    const std::vector<float> y = run(shifted, voice(8192), 1, 8192);
    for (int i = 0; i < 128; ++i) ASSERT_EQ(y[i], 0.0f) << i;
    EXPECT_NE(y, run(plain, voice(8192), 1, 8192));
}

TEST(DspChainTest, SetParamsCutsTails) {
    DspParams ringing = preset("asmr");
    ringing.echoMix = 0.5f;
    ringing.lowpassHz = 200.0f;
    for (const DspParams& p : {preset("echo"), preset("asmr"), ringing}) {
        DspChain chain;
        chain.init(1, 48000.0f);
        chain.setParams(p);
        std::vector<float> block = voice(4800);
        chain.process(block.data(), 4800);
        DspParams changed = chain.params();
        changed.gain *= 0.5f;
        chain.setParams(changed);
        std::vector<float> silence(48000, 0.0f);
        chain.process(silence.data(), static_cast<int>(silence.size()));
        for (size_t i = 0; i < silence.size(); ++i) ASSERT_EQ(silence[i], 0.0f) << i;
    }
}

TEST(DspChainTest, ResetClearsHistoryAndKeepsParams) {
    const DspParams p = preset("daemon");
    DspChain chain;
    chain.init(1, 48000.0f);
    chain.setParams(p);
    std::vector<float> first = voice(9600);
    chain.process(first.data(), 9600);
    chain.reset();
    EXPECT_EQ(chain.params(), p);
    std::vector<float> again = voice(9600);
    chain.process(again.data(), 9600);
    EXPECT_EQ(again, first);
}

TEST(DspChainTest, BlockSizeDoesNotChangeTheResult) {
    for (const char* name : kAllPresets) {
        const std::vector<float> x = voice(9000);
        const std::vector<float> whole = run(preset(name), x, 1, 8192);
        EXPECT_EQ(run(preset(name), x, 1, 480), whole) << name;
        EXPECT_EQ(run(preset(name), x, 1, 37), whole) << name;
    }
}

TEST(DspChainTest, ChannelsAreIndependentApartFromTheRingOscillator) {
    for (const char* name : kAllPresets) {
        const DspParams p = preset(name);
        if (p.ringMix > 0.0f) continue;
        const std::vector<float> left = voice(6000, 48000.0f, 1);
        const std::vector<float> right = voice(6000, 48000.0f, 2);
        std::vector<float> stereo(12000);
        for (int i = 0; i < 6000; ++i) {
            stereo[2 * i] = 0.5f * left[i];
            stereo[2 * i + 1] = right[i];
        }
        std::vector<float> quiet(6000);
        for (int i = 0; i < 6000; ++i) quiet[i] = 0.5f * left[i];
        const std::vector<float> both = run(p, stereo, 2);
        const std::vector<float> l = run(p, quiet), r = run(p, right);
        for (int i = 0; i < 6000; ++i) {
            ASSERT_EQ(both[2 * i], l[i]) << name << i;
            ASSERT_EQ(both[2 * i + 1], r[i]) << name << i;
        }
    }
}

TEST(DspChainTest, ParamsBeforeInitAreReappliedForTheRealFormat) {
    const DspParams p = preset("roboter");
    DspChain early;
    early.setParams(p);
    early.init(1, 44100.0f);
    EXPECT_EQ(early.params(), p);
    DspChain late;
    late.init(1, 44100.0f);
    late.setParams(p);
    std::vector<float> a = voice(4410, 44100.0f), b = a;
    early.process(a.data(), 4410);
    late.process(b.data(), 4410);
    EXPECT_EQ(a, b);
}

TEST(DspChainTest, ChannelCountIsClamped) {
    const DspParams p = preset("daemon");
    DspChain wide;
    wide.setParams(p);
    wide.init(12, 48000.0f);
    EXPECT_EQ(wide.channels(), 8);
    // Blocks are then read as 8-channel frames, each channel processed like a mono chain.
    const std::vector<float> x = voice(960);
    std::vector<float> block(8 * 960);
    for (int i = 0; i < 960; ++i) std::fill_n(block.begin() + 8 * i, 8, x[i]);
    wide.process(block.data(), 960);
    const std::vector<float> expected = run(p, x);
    for (int i = 0; i < 960; ++i) {
        for (int c = 0; c < 8; ++c) ASSERT_EQ(block[8 * i + c], expected[i]) << i << " " << c;
    }

    for (int channels : {0, -3}) {
        DspChain none;
        none.init(channels, 48000.0f);
        EXPECT_EQ(none.channels(), 0);
        none.setParams(preset("echo"));
        std::vector<float> untouched = {3.0f, kNaN, -2.0f};
        none.process(untouched.data(), 3);
        EXPECT_EQ(untouched[0], 3.0f);
        EXPECT_TRUE(std::isnan(untouched[1]));
        EXPECT_EQ(none.latencySamples(), 0);
    }
}

TEST(DspChainTest, EmptyBlocksChangeNothing) {
    DspChain chain;
    chain.init(1, 48000.0f);
    chain.setParams(preset("echo"));
    float sample = 5.0f;
    chain.process(&sample, 0);
    chain.process(&sample, -4);
    EXPECT_EQ(sample, 5.0f);
}

// The effect units, the pitch shifter and the chain, measured against closed forms and against
// each other. The whole chain per preset is compared with the numpy reading end to end
// (tests/e2e/test_offline_tools.py).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <stdexcept>
#include <string>
#include <vector>

#include "dsp/dsp_chain.h"
#include "dsp/presets.h"
#include "dsp/stream_resampler.h"

namespace {

constexpr double kPi = std::numbers::pi;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
const char* const kPresets[] = {"original", "roboter", "daemon", "tief",   "chipmunk",
                                "yuki",     "lena",    "funk",   "studio", "asmr",
                                "alien",    "cyborg",  "echo"};

// A few harmonics of a gliding fundamental plus a little noise.
std::vector<float> voice(int n, unsigned seed = 1) {
    std::vector<float> x(n);
    double phase = 0.0;
    for (int i = 0; i < n; ++i) {
        phase += 2.0 * kPi * (120.0 + 60.0 * std::sin(i / 23000.0)) / 48000.0;
        double h = 0.0;
        for (int k = 1; k <= 8; ++k) h += std::sin(k * phase) / k;
        seed = seed * 1664525u + 1013904223u;
        x[i] = static_cast<float>(0.3 * h + 0.02 * ((seed >> 8) / 16777216.0 - 0.5));
    }
    return x;
}

std::vector<float> sine(int n, double hz, double amp = 0.5) {
    std::vector<float> x(n);
    for (int i = 0; i < n; ++i) x[i] = static_cast<float>(amp * std::sin(2 * kPi * hz * i / 48000));
    return x;
}

DspParams preset(const std::string& name) {
    bool ok = false;
    return presetByName(name, ok);
}

// The chain over interleaved audio in blocks, as the engine runs it.
std::vector<float> run(const DspParams& p, std::vector<float> x, int channels = 1,
                       int block = 480) {
    DspChain chain;
    chain.init(channels, 48000.0f);
    chain.setParams(p);
    const int frames = static_cast<int>(x.size()) / channels;
    for (int at = 0; at < frames; at += block)
        chain.process(x.data() + at * channels, std::min(block, frames - at));
    return x;
}

double rms(const std::vector<float>& x, size_t from, size_t to) {
    double sum = 0.0;
    for (size_t i = from; i < to; ++i) sum += double(x[i]) * x[i];
    return std::sqrt(sum / double(to - from));
}

// Frequency from the interpolated upward zero crossings in x[from, to).
double zeroCrossingHz(const std::vector<float>& x, size_t from, size_t to) {
    double first = -1.0, last = 0.0;
    int crossings = 0;
    for (size_t i = from + 1; i < to; ++i) {
        if (x[i - 1] < 0.0f && x[i] >= 0.0f) {
            last = double(i - 1) + x[i - 1] / (x[i - 1] - x[i]);
            if (first < 0.0) first = last;
            ++crossings;
        }
    }
    return (crossings - 1) * 48000.0 / (last - first);
}

TEST(Echo, ImpulseReturnsAfterEachDelayAndTheLineIsLimited) {
    Echo e;
    e.set(0.45f, 280.0f, 0.4f, 2, 48000.0f);  // 13440 samples
    for (int i = 0; i <= 40320; ++i) {
        const float expected = i == 0       ? 0.55f
                               : i == 13440 ? 0.45f
                               : i == 26880 ? 0.45f * 0.4f
                               : i == 40320 ? 0.45f * 0.16f
                                            : 0.0f;
        ASSERT_FLOAT_EQ(e.tick(i == 0 ? 1.0f : 0.0f, 1), expected) << i;
    }
    e.set(0.5f, 1.0f, 0.5f, 1, 48000.0f);  // 48 samples
    std::vector<float> in(148, 0.0f), out;
    in[0] = 1.0f;
    in[48] = 1.0f, in[49] = 3.0f, in[50] = -kInf, in[51] = kNaN;  // 1 + 0.5 * 1 and the rest
    for (float x : in) out.push_back(e.tick(x, 0));
    EXPECT_EQ(std::vector<float>(out.begin() + 96, out.begin() + 100),
              (std::vector<float>{0.6f, 0.6f, -0.6f, 0.0f}));  // limited to 1.2, NaN not stored
}

// A steady tone comes out shifted by the ratio, also after two minutes, when the synthesis phases
// would have lost their fraction.
TEST(PitchShifter, ShiftsASteadyToneByTheRatio) {
    for (const auto& [hz, ratio, seconds] : {std::tuple{937.5, 2.0f, 1},
                                             {1031.25, 0.72f, 1},
                                             {440.0, 1.55f, 1},
                                             {2812.5, 1.5f, 120}}) {
        PitchShifter shifter(1024, 8, 48000.0f);
        const std::vector<float> in = sine(48000, hz);
        std::vector<float> out(in.size());
        for (int s = 0; s < seconds; ++s) {
            for (int at = 0; at < 48000; at += 480) shifter.process(ratio, &in[at], &out[at], 480);
        }
        if (seconds == 1) {
            for (int i = 0; i < 128; ++i) ASSERT_EQ(out[i], 0.0f);  // the first hop is silent
        }
        const double tolerance = seconds == 1 ? 0.001 : 0.0005;
        EXPECT_NEAR(zeroCrossingHz(out, 8192, out.size()), ratio * hz, tolerance * ratio * hz)
            << hz;
        EXPECT_GT(rms(out, 8192, out.size()), 0.15) << hz;
    }
}

// The form built for AVX2 and FMA gives the same samples as the baseline.
TEST(PitchShifter, ItsProcessorFormsAgree) {
    using Form = PitchShifter::Form;
    if (!PitchShifter::runs(Form::kAvx2Fma))
        GTEST_SKIP() << "this processor runs the baseline only";
    const std::vector<float> in = voice(48000);
    for (float ratio : {0.72f, 1.55f}) {
        std::vector<float> a(in.size()), b(in.size());
        PitchShifter(1024, 8, 48000.0f, Form::kBaseline).process(ratio, in.data(), a.data(), 48000);
        PitchShifter(1024, 8, 48000.0f, Form::kAvx2Fma).process(ratio, in.data(), b.data(), 48000);
        double error = 0.0, power = 0.0;
        for (size_t i = 0; i < a.size(); ++i) {
            error += (a[i] - b[i]) * (a[i] - b[i]);
            power += a[i] * a[i];
        }
        EXPECT_EQ(error, 0.0) << ratio;
    }
}

TEST(PitchShifter, BoundsItsRatioAndItsInput) {
    const std::vector<float> in = voice(12000);
    const auto shift = [&](float ratio) {
        PitchShifter shifter(1024, 8, 48000.0f);
        std::vector<float> out(in.size());
        shifter.process(ratio, in.data(), out.data(), static_cast<int>(in.size()));
        return out;
    };
    for (float ratio : {1.0f, 1.00005f, 0.99995f}) EXPECT_EQ(shift(ratio), in) << ratio;
    EXPECT_NE(shift(1.0002f), in);
    for (const auto& [size, osamp, rate] : {std::tuple{1000, 8, 48000.0f},
                                            {2, 1, 48000.0f},
                                            {1024, 0, 48000.0f},
                                            {1024, 2048, 48000.0f},
                                            {1024, 8, 0.0f},
                                            {1024, 8, kNaN}}) {
        EXPECT_THROW(PitchShifter(size, osamp, rate), std::invalid_argument) << size;
    }
    const std::vector<float> lowest = shift(0.02f), highest = shift(512.0f);
    for (float ratio : {0.0f, -1.0f, 0.01f, kNaN, -kInf}) EXPECT_EQ(shift(ratio), lowest) << ratio;
    for (float ratio : {513.0f, 1e30f, kInf}) EXPECT_EQ(shift(ratio), highest) << ratio;
    // Non-finite or absurd input enters as silence.
    std::vector<float> bad = voice(12000), zero = bad, a(12000), b(12000);
    bad[4000] = kNaN, bad[4001] = kInf, bad[6000] = 1e30f;
    zero[4000] = zero[4001] = zero[6000] = 0.0f;
    PitchShifter one(1024, 8, 48000.0f), other(1024, 8, 48000.0f);
    one.process(1.4f, bad.data(), a.data(), 12000);
    other.process(1.4f, zero.data(), b.data(), 12000);
    EXPECT_EQ(a, b);
    // A tone pushed exactly onto half the frame stays; one pushed past it is dropped, not folded
    // back.
    std::vector<float> top = sine(24000, 256 * 46.875);
    PitchShifter(1024, 8, 48000.0f).process(2.0f, top.data(), top.data(), 24000);
    EXPECT_GT(rms(top, 4096, top.size()), 0.1);
    PitchShifter shifter(1024, 8, 48000.0f);
    std::vector<float> high = sine(24000, 300 * 46.875);
    shifter.process(2.0f, high.data(), high.data(), 24000);
    EXPECT_LT(rms(high, 4096, high.size()), 1e-4);
}

// One NaN must act as silence and poison no stage for good; infinities leave at the limit.
TEST(DspChain, NaNActsAsSilenceInEveryPreset) {
    for (const char* name : kPresets) {
        std::vector<float> bad = voice(12000), zero = bad;
        bad[3000] = kNaN;
        zero[3000] = 0.0f;
        EXPECT_EQ(run(preset(name), bad), run(preset(name), zero)) << name;
    }
    EXPECT_EQ(run(DspParams{}, {0.25f, 1.6f, -2.0f, kInf, kNaN}),
              (std::vector<float>{0.25f, 1.5f, -1.5f, 1.5f, 0.0f}));
    DspParams gentle;
    gentle.drive = 0.05f;  // the smallest drives count too
    EXPECT_NEAR(run(gentle, {1.0f})[0], std::tanh(0.05f), 1e-6);
}

// Any block length gives the same output, and stereo channels come out as if processed alone,
// apart from the ring oscillator that advances once per sample of either channel.
TEST(DspChain, BlockLengthAndChannelsDoNotChangeTheResult) {
    const std::vector<float> left = voice(9000, 1), right = voice(9000, 2);
    std::vector<float> stereo(18000);
    for (int i = 0; i < 9000; ++i) stereo[2 * i] = left[i], stereo[2 * i + 1] = right[i];
    for (const char* name : kPresets) {
        const DspParams p = preset(name);
        const std::vector<float> l = run(p, left, 1, 8192), both = run(p, stereo, 2, 37);
        EXPECT_EQ(run(p, left, 1, 480), l) << name;
        if (p.ringMix > 0.0f) continue;
        const std::vector<float> r = run(p, right, 1, 100);
        for (int i = 0; i < 9000; ++i) {
            ASSERT_EQ(both[2 * i], l[i]) << name << i;
            ASSERT_EQ(both[2 * i + 1], r[i]) << name << i;
        }
    }
    DspParams ring;
    ring.ringHz = 35.0f, ring.ringMix = 0.85f;
    const std::vector<float> out = run(ring, stereo, 2);
    float phase = 0.0f;
    for (size_t k = 0; k < out.size(); ++k) {
        const double m = std::sin(2 * kPi * phase);
        phase += 35.0f / 48000.0f;
        if (phase >= 1.0f) phase -= 1.0f;
        ASSERT_NEAR(out[k], 0.15 * stereo[k] + 0.85 * m * stereo[k], 1e-6) << k;
    }
}

TEST(DspChain, OversizedBlocksSkipOnlyThePitchAndRatioOneResetsTheShifters) {
    DspParams shifted = preset("chipmunk"), plain = shifted;
    plain.pitchRatio = 1.0f;
    EXPECT_EQ(run(shifted, voice(8193), 1, 8193), run(plain, voice(8193), 1, 8193));
    EXPECT_NE(run(shifted, voice(8192), 1, 8192), run(plain, voice(8192), 1, 8192));
    // Back at ratio 1 the shifters are reset, so a later shift starts from silence again.
    DspChain chain;
    chain.init(1, 48000.0f);
    chain.setParams(shifted);
    std::vector<float> x = voice(4800);
    chain.process(x.data(), 4800);
    chain.setParams(plain);
    chain.setParams(shifted);
    x = voice(4800);
    chain.process(x.data(), 4800);
    EXPECT_EQ(x, run(shifted, voice(4800), 1, 4800));
    chain.reset();  // and so does a reset, for every stage
    x = voice(4800);
    chain.process(x.data(), 4800);
    EXPECT_EQ(x, run(shifted, voice(4800), 1, 4800));
}

// A record changed while the voice sounds (a parameter moved) keeps the tails and glides the gain.
TEST(DspChain, AChangedRecordKeepsTailsAndGlides) {
    DspChain chain;
    chain.init(1, 48000.0f);
    chain.setParams(preset("echo"));
    std::vector<float> x = voice(4800), silence(24000, 0.0f);
    chain.process(x.data(), 4800);
    DspParams p = chain.params();
    p.echoMix = 0.3f;
    p.gain = 0.5f;
    chain.update(p);
    chain.process(silence.data(), 24000);
    EXPECT_GT(rms(silence, 9700, 14300), 0.03);  // the echo of the voice, 300 ms later
    std::vector<float> dc(960, 0.5f);
    chain.setParams(DspParams{});
    p = DspParams{};
    p.gain = 0.25f;
    chain.update(p);
    chain.process(dc.data(), 960);
    for (size_t i = 1; i < dc.size(); ++i) ASSERT_LE(dc[i - 1] - dc[i], 0.001f) << i;
    EXPECT_FLOAT_EQ(dc.back(), 0.125f);
}

// Rate conversion, measured with sines: flat to 0.1 dB up to 90 % of the lower Nyquist frequency,
// what lies above it 90 dB down, at most 4 ms late, also while the ratio follows a drifting clock.
TEST(StreamResampler, PassesTheBandAndStopsWhatWouldAlias) {
    // The amplitude of hz in y (after its first quarter), by a least-squares fit.
    const auto amplitude = [](const std::vector<float>& y, double hz, int rate) {
        double ss = 0, cc = 0, sc = 0, ys = 0, yc = 0;
        for (size_t i = y.size() / 4; i < y.size(); ++i) {
            const double s = std::sin(2 * kPi * hz * i / rate),
                         c = std::cos(2 * kPi * hz * i / rate);
            ss += s * s, cc += c * c, sc += s * c, ys += y[i] * s, yc += y[i] * c;
        }
        const double det = ss * cc - sc * sc;
        return std::hypot((ys * cc - yc * sc) / det, (yc * ss - ys * sc) / det);
    };
    const auto convert = [](int in, int out, double hz, double ppm) {
        StreamResampler r;
        r.prepare(in, out, 1, 480);
        const double step = r.nominalStep() * (1 + ppm * 1e-6);
        std::vector<float> y, x, block(480);
        for (int64_t n = 0; y.size() < static_cast<size_t>(out);) {
            x.resize(r.inputFor(480, step));
            for (float& v : x) v = static_cast<float>(0.5 * std::sin(2 * kPi * hz * n++ / in));
            r.process(x.data(), block.data(), 480, step);
            y.insert(y.end(), block.begin(), block.end());
        }
        return y;
    };
    for (const auto& [in, out] : {std::pair{48000, 16000},
                                  {16000, 48000},
                                  {44100, 48000},
                                  {48000, 44100},
                                  {48000, 48000},
                                  {96000, 48000}}) {
        const double nyquist = std::min(in, out) / 2.0;
        for (double at : {0.05, 0.5, 0.9}) {
            EXPECT_NEAR(
                20 * std::log10(amplitude(convert(in, out, at * nyquist, 0), at * nyquist, out) /
                                0.5),
                0.0, 0.1)
                << in << " " << at;
        }
        for (double at : {1.0, 1.3, 1.9}) {
            if (at * nyquist >= in / 2.0) continue;  // not in the input
            const std::vector<float> y = convert(in, out, at * nyquist, 0);
            double energy = 0.0;  // after the tone's onset, which is broadband
            for (size_t i = y.size() / 4; i < y.size(); ++i) energy += y[i] * y[i];
            EXPECT_LT(10 * std::log10(energy / (0.75 * y.size()) / 0.125), -90.0)
                << in << " " << at;
        }
        StreamResampler r;
        r.prepare(in, out, 2, 480);
        EXPECT_LE(r.delayFrames() / in, 0.004) << in;
    }
    // A clock 500 ppm fast: the tone comes out 500 ppm higher, at its level.
    EXPECT_NEAR(amplitude(convert(44100, 48000, 1000, 500), 1000 * (1 + 500e-6), 48000), 0.5, 1e-4);
}

}  // namespace

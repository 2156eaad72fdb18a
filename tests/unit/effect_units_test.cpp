#include "dsp/effect_units.h"

#include <gtest/gtest.h>

#include "numpy_reference.h"

#include <cmath>
#include <complex>
#include <limits>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

std::vector<float> impulseResponse(Biquad& f, int n, int channel = 0) {
    std::vector<float> h(n);
    for (int i = 0; i < n; ++i) h[i] = f.tick(i == 0 ? 1.0f : 0.0f, channel);
    return h;
}

// |H(e^jw)| of a measured impulse response, by direct DFT in double precision.
double magnitudeAt(const std::vector<float>& h, double hz, double sampleRate) {
    const double w = 2.0 * kPi * hz / sampleRate;
    std::complex<double> sum = 0.0;
    for (size_t n = 0; n < h.size(); ++n) sum += double(h[n]) * std::polar(1.0, -w * double(n));
    return std::abs(sum);
}

// The cookbook filters are bilinear transforms of analog prototypes, prewarped at f0: digital
// frequency f maps to the normalised analog frequency tan(pi f / fs) / tan(pi f0 / fs).
double analogOmega(double hz, double f0, double sampleRate) {
    return std::tan(kPi * hz / sampleRate) / std::tan(kPi * f0 / sampleRate);
}

double lowPassMagnitude(double hz, double f0, double q, double sampleRate) {
    const std::complex<double> s(0.0, analogOmega(hz, f0, sampleRate));
    return std::abs(1.0 / (s * s + s / q + 1.0));
}

double highPassMagnitude(double hz, double f0, double q, double sampleRate) {
    const std::complex<double> s(0.0, analogOmega(hz, f0, sampleRate));
    return std::abs(s * s / (s * s + s / q + 1.0));
}

// High shelf with slope S = 0.9: H(s) = A (A s^2 + (sqrt A / Q) s + 1) / (s^2 + (sqrt A / Q) s + A)
// with 1/Q = sqrt((A + 1/A)(1/S - 1) + 2).
double highShelfMagnitude(double hz, double f0, double gainDb, double sampleRate) {
    const double a = std::pow(10.0, gainDb / 40.0);
    const double invQ = std::sqrt((a + 1.0 / a) * (1.0 / 0.9 - 1.0) + 2.0);
    const std::complex<double> s(0.0, analogOmega(hz, f0, sampleRate));
    const std::complex<double> mid = std::sqrt(a) * invQ * s;
    return std::abs(a * (a * s * s + mid + 1.0) / (s * s + mid + a));
}

void expectMagnitudeNear(double measured, double expected, double hz) {
    EXPECT_NEAR(measured, expected, 2e-4 + 1e-3 * expected) << "at " << hz << " Hz";
}

// A loud, busy signal that drives the echo line into its limit.
std::vector<float> testSignal(int n) {
    std::vector<float> x(n);
    for (int i = 0; i < n; ++i) {
        x[i] = 0.9f * std::sin(0.031f * i) + 0.4f * std::sin(0.37f * i + 1.0f) * (i % 700 < 350);
    }
    return x;
}

const double kProbeHz[] = {20, 100, 300, 500, 1000, 2500, 3000, 5000, 7000, 10000, 15000, 21000};

}  // namespace

TEST(BiquadTest, PassFiltersMatchTheirAnalogPrototypes) {
    struct Case {
        Biquad::Type type;
        float f0, sampleRate;
    };
    const Case cases[] = {{Biquad::LowPass, 2500, 48000}, {Biquad::LowPass, 900, 44100},
                          {Biquad::LowPass, 3000, 16000}, {Biquad::HighPass, 500, 48000},
                          {Biquad::HighPass, 300, 44100}, {Biquad::HighPass, 450, 16000}};
    for (const Case& c : cases) {
        Biquad f;
        f.set(c.type, c.f0, 0.707f, 12.0f /* ignored by pass filters */, c.sampleRate);
        EXPECT_TRUE(f.active);
        const std::vector<float> h = impulseResponse(f, 8192);
        for (double hz : kProbeHz) {
            if (hz >= c.sampleRate / 2) continue;
            const double expected = c.type == Biquad::LowPass
                                        ? lowPassMagnitude(hz, c.f0, 0.707, c.sampleRate)
                                        : highPassMagnitude(hz, c.f0, 0.707, c.sampleRate);
            expectMagnitudeNear(magnitudeAt(h, hz, c.sampleRate), expected, hz);
        }
        // At the cutoff a second-order section has magnitude Q.
        EXPECT_NEAR(magnitudeAt(h, c.f0, c.sampleRate), 0.707, 1e-3);
    }
}

TEST(BiquadTest, HighShelfMatchesItsAnalogPrototype) {
    for (float gainDb : {-3.0f, 2.0f, 4.0f, 5.0f, 12.0f}) {
        for (float sampleRate : {48000.0f, 44100.0f, 16000.0f}) {
            Biquad f;
            // Type values other than HighPass and LowPass also give the shelf.
            f.set(gainDb > 10 ? static_cast<Biquad::Type>(7) : Biquad::HighShelf, 3000.0f, 0.707f,
                  gainDb, sampleRate);
            const std::vector<float> h = impulseResponse(f, 8192);
            for (double hz : kProbeHz) {
                if (hz >= sampleRate / 2) continue;
                expectMagnitudeNear(magnitudeAt(h, hz, sampleRate),
                                    highShelfMagnitude(hz, 3000.0, gainDb, sampleRate), hz);
            }
            // Unity at DC, the full gain towards Nyquist.
            EXPECT_NEAR(magnitudeAt(h, 0.0, sampleRate), 1.0, 1e-4);
            EXPECT_NEAR(magnitudeAt(h, sampleRate / 2, sampleRate), std::pow(10.0, gainDb / 20.0),
                        1e-3 * std::pow(10.0, gainDb / 20.0));
        }
    }
}

TEST(BiquadTest, ZeroDbShelfPassesThrough) {
    Biquad f;
    f.set(Biquad::HighShelf, 3000.0f, 0.707f, 0.0f, 48000.0f);
    EXPECT_NEAR(f.b0, 1.0f, 1e-6f);
    EXPECT_NEAR(f.b1, f.a1, 1e-6f);
    EXPECT_NEAR(f.b2, f.a2, 1e-6f);
    const std::vector<float> h = impulseResponse(f, 256);
    EXPECT_NEAR(h[0], 1.0f, 1e-6f);
    for (int i = 1; i < 256; ++i) EXPECT_NEAR(h[i], 0.0f, 1e-6f) << i;
}

TEST(BiquadTest, ChannelsKeepSeparateStateAndSetClearsIt) {
    Biquad f;
    f.set(Biquad::LowPass, 1000.0f, 0.707f, 0.0f, 48000.0f);
    const std::vector<float> alone = impulseResponse(f, 64);
    // Channel 7 rings on its own impulse while channel 3 is fed a different signal.
    f.set(Biquad::LowPass, 1000.0f, 0.707f, 0.0f, 48000.0f);
    for (int i = 0; i < 64; ++i) {
        f.tick(0.5f, 3);
        EXPECT_EQ(f.tick(i == 0 ? 1.0f : 0.0f, 7), alone[i]) << i;
    }
    f.set(Biquad::LowPass, 1000.0f, 0.707f, 0.0f, 48000.0f);
    for (int ch = 0; ch < Biquad::kMaxChannels; ++ch) {
        EXPECT_EQ(f.z1[ch], 0.0f);
        EXPECT_EQ(f.z2[ch], 0.0f);
    }
    f.tick(1.0f, 2);
    f.reset();
    EXPECT_EQ(f.z1[2], 0.0f);
    EXPECT_EQ(f.z2[2], 0.0f);
    EXPECT_TRUE(f.active);
}

TEST(BiquadTest, DefaultIsAnInactivePassThrough) {
    Biquad f;
    EXPECT_FALSE(f.active);
    EXPECT_EQ(f.channels, 2);
    EXPECT_EQ(f.tick(0.25f, 0), 0.25f);
    EXPECT_EQ(f.tick(-0.5f, 0), -0.5f);
}

TEST(RingModTest, ActivationThresholds) {
    RingMod r;
    r.set(0.005f, 1.0f, 48000.0f);
    EXPECT_FALSE(r.active);
    r.set(0.011f, 0.0011f, 48000.0f);
    EXPECT_TRUE(r.active);
    r.set(35.0f, 0.001f, 48000.0f);
    EXPECT_FALSE(r.active);
    r.set(0.01f, 0.5f, 48000.0f);
    EXPECT_FALSE(r.active);
}

TEST(RingModTest, HalfMixFollowsTheOscillatorAndWrapsOnce) {
    RingMod r;
    const float sampleRate = 48000.0f;
    r.set(1000.0f, 0.5f, sampleRate);
    EXPECT_EQ(r.phase, 0.0f);
    for (int n = 0; n < 2000; ++n) {
        const float x = 0.8f * std::cos(0.01f * n);
        // The running phase in float drifts from n f / fs by far less than the tolerance here.
        const double expected = 0.5 * x + 0.5 * x * std::sin(2.0 * kPi * n * 1000.0 / sampleRate);
        EXPECT_NEAR(r.tick(x), expected, 1e-4) << n;
        EXPECT_GE(r.phase, 0.0f);
        EXPECT_LT(r.phase, 1.0f);
    }
    // The first output uses the phase from before the advance: sin(0) = 0.
    r.set(440.0f, 0.5f, sampleRate);
    EXPECT_EQ(r.tick(1.0f), 0.5f);
    // A full mix leaves only the product.
    r.set(12000.0f, 1.0f, sampleRate);
    r.tick(1.0f);
    EXPECT_NEAR(r.tick(1.0f), 1.0f, 1e-6f);  // sin(2 pi / 4)
    EXPECT_NEAR(r.tick(1.0f), 0.0f, 1e-6f);  // sin(pi)
}

TEST(EchoTest, ImpulseReturnsAfterOneAndTwoDelays) {
    Echo e;
    const float mix = 0.45f, feedback = 0.4f;
    e.set(mix, 280.0f, feedback, 2, 48000.0f);
    ASSERT_TRUE(e.active);
    EXPECT_EQ(e.delay, 13440);
    ASSERT_EQ(e.lines.size(), 2u);
    EXPECT_EQ(e.lines[0].size(), 13441u);
    EXPECT_EQ(e.lines[1].size(), 13441u);

    const int n = 3 * 13440 + 10;
    for (int i = 0; i < n; ++i) {
        const float y = e.tick(i == 0 ? 1.0f : 0.0f, 1);
        float expected = 0.0f;
        if (i == 0) expected = 1.0f - mix;
        if (i == 13440) expected = mix;
        if (i == 26880) expected = mix * feedback;
        if (i == 40320) expected = mix * feedback * feedback;
        ASSERT_FLOAT_EQ(y, expected) << i;
    }
    // The other channel never saw anything.
    for (float v : e.lines[0]) ASSERT_EQ(v, 0.0f);
}

TEST(EchoTest, LineIsLimitedTo1_2AndNaNIsNotStored) {
    Echo e;
    const float mix = 0.5f;
    e.set(mix, 1.0f, 0.5f, 1, 48000.0f);  // 48 samples
    ASSERT_EQ(e.delay, 48);
    std::vector<float> out;
    auto run = [&](float x) { out.push_back(e.tick(x, 0)); };
    run(1.0f);  // stores 1.0
    for (int i = 1; i < 48; ++i) run(0.0f);
    run(1.0f);   // 1.0 + 0.5 * 1.0 = 1.5 stores 1.2
    run(3.0f);   // stores 1.2
    run(-kInf);  // stores -1.2
    run(kNaN);   // stores 0
    for (int i = 0; i < 48; ++i) run(0.0f);
    EXPECT_FLOAT_EQ(out[48 + 48], mix * 1.2f);
    EXPECT_FLOAT_EQ(out[49 + 48], mix * 1.2f);
    EXPECT_FLOAT_EQ(out[50 + 48], mix * -1.2f);
    EXPECT_EQ(out[51 + 48], 0.0f);
    EXPECT_TRUE(std::isnan(out[51]));  // the dry share of the NaN itself
    for (float v : e.lines[0]) EXPECT_FALSE(std::isnan(v));
}

TEST(EchoTest, InactiveForShortDelayOrTinyMix) {
    Echo e;
    e.set(0.5f, 8.0f, 0.35f, 1, 1000.0f);
    EXPECT_EQ(e.delay, 8);
    EXPECT_FALSE(e.active);
    e.set(0.5f, 9.0f, 0.35f, 1, 1000.0f);
    EXPECT_EQ(e.delay, 9);
    EXPECT_TRUE(e.active);
    e.set(0.001f, 280.0f, 0.35f, 1, 48000.0f);
    EXPECT_FALSE(e.active);
    e.set(0.0011f, 280.0f, 0.35f, 1, 48000.0f);
    EXPECT_TRUE(e.active);
    // A negative delay counts as none.
    e.set(0.5f, -20.0f, 0.35f, 2, 48000.0f);
    EXPECT_EQ(e.delay, 0);
    EXPECT_FALSE(e.active);
    ASSERT_EQ(e.lines.size(), 2u);
    EXPECT_EQ(e.lines[0].size(), 1u);
}

TEST(EchoTest, SetDiscardsOldContent) {
    Echo e;
    e.set(0.5f, 1.0f, 0.5f, 1, 48000.0f);
    for (int i = 0; i < 20; ++i) e.tick(1.0f, 0);
    e.set(0.5f, 1.0f, 0.5f, 1, 48000.0f);
    EXPECT_EQ(e.positions[0], 0);
    for (int i = 0; i < 200; ++i) ASSERT_EQ(e.tick(0.0f, 0), 0.0f);
}

TEST(ReverbTest, LineLengthsFollowTheSampleRate) {
    struct Case {
        float sampleRate;
        size_t combs[4];
        size_t allps[2];
    };
    const Case cases[] = {{48000.0f, {1214, 1293, 1389, 1475}, {605, 480}},
                          {16000.0f, {404, 431, 463, 491}, {201, 160}},
                          {44100.0f, {1116, 1188, 1277, 1356}, {556, 441}},
                          {1000.0f, {25, 26, 28, 30}, {12, 10}},
                          {100.0f, {16, 16, 16, 16}, {8, 8}}};
    for (const Case& c : cases) {
        Reverb r;
        r.set(0.3f, 3, c.sampleRate);
        ASSERT_EQ(r.combs.size(), 3u);
        ASSERT_EQ(r.allpasses.size(), 3u);
        for (int ch = 0; ch < 3; ++ch) {
            for (int i = 0; i < 4; ++i) {
                EXPECT_EQ(r.combs[ch][i].buffer.size(), c.combs[i]) << c.sampleRate;
                EXPECT_EQ(r.combs[ch][i].feedback, 0.78f);
            }
            for (int j = 0; j < 2; ++j) {
                EXPECT_EQ(r.allpasses[ch][j].buffer.size(), c.allps[j]) << c.sampleRate;
                EXPECT_EQ(r.allpasses[ch][j].g, 0.5f);
            }
        }
    }
}

TEST(ReverbTest, ActivationAndChannelCount) {
    Reverb r;
    r.set(0.0f, 2, 48000.0f);
    EXPECT_FALSE(r.active);
    r.set(0.001f, 2, 48000.0f);
    EXPECT_FALSE(r.active);
    r.set(0.22f, 0, 48000.0f);
    EXPECT_TRUE(r.active);
    EXPECT_TRUE(r.combs.empty());
    EXPECT_TRUE(r.allpasses.empty());
}

TEST(ReverbTest, ImpulseFirstArrivalsByHand) {
    Reverb r;
    const float mix = 0.3f;
    r.set(mix, 1, 48000.0f);
    std::vector<float> y(1300);
    for (size_t i = 0; i < y.size(); ++i) y[i] = r.tick(i == 0 ? 1.0f : 0.0f, 0);
    EXPECT_FLOAT_EQ(y[0], 1.0f - mix);
    for (int i = 1; i < 1214; ++i) ASSERT_EQ(y[i], 0.0f) << i;
    // The shortest comb returns the impulse: s = 0.25, then each allpass passes -g * s of an empty
    // line: 0.25 * (-0.5) * (-0.5) = 0.0625.
    EXPECT_FLOAT_EQ(y[1214], mix * 0.6f * 0.0625f);
    // The allpass lines return their share only after 605 and 480 samples, the comb after
    // another 1214; the next arrival is the second comb's.
    for (int i = 1215; i < 1293; ++i) ASSERT_EQ(y[i], 0.0f) << i;
    EXPECT_FLOAT_EQ(y[1293], mix * 0.6f * 0.0625f);
}

TEST(ReverbTest, NonFiniteInputEntersTheLinesAsSilence) {
    const float mix = 0.25f;
    Reverb clean, hit;
    clean.set(mix, 2, 48000.0f);
    hit.set(mix, 2, 48000.0f);
    for (int i = 0; i < 6000; ++i) {
        const float x = 0.5f * std::sin(0.05f * i);
        const bool bad = i == 100 || i == 200;
        const float expected = clean.tick(bad ? 0.0f : x, 1);
        const float y = hit.tick(i == 100 ? kNaN : (i == 200 ? kInf : x), 1);
        if (bad) continue;  // only the bad sample's own dry share differs
        ASSERT_EQ(y, expected) << i;
    }
    for (const auto& comb : hit.combs[1]) {
        for (float v : comb.buffer) ASSERT_TRUE(std::isfinite(v));
    }
}

TEST(FeedbackUnitsTest, EchoAndReverbMatchTheNumpyModel) {
    const std::vector<float> x = testSignal(4000);
    Echo e;
    e.set(0.45f, 5.0f, 0.9f, 1, 48000.0f);
    const std::vector<double> echoRef =
        numpyReference("feedback_units_reference.py", {"echo", "0.45", "5", "0.9", "48000"}, x);
    ASSERT_EQ(echoRef.size(), x.size());
    for (size_t i = 0; i < x.size(); ++i) ASSERT_NEAR(e.tick(x[i], 0), echoRef[i], 1e-6) << i;

    for (float rate : {48000.0f, 16000.0f}) {
        Reverb r;
        r.set(0.3f, 1, rate);
        const std::vector<double> ref = numpyReference(
            "feedback_units_reference.py", {"reverb", "0.3", std::to_string(int(rate))}, x);
        ASSERT_EQ(ref.size(), x.size());
        for (size_t i = 0; i < x.size(); ++i) ASSERT_NEAR(r.tick(x[i], 0), ref[i], 1e-6) << i;
    }
}

#include "dsp/pitch_shifter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <numbers>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "numpy_reference.h"

namespace {

constexpr float kRate = 48000.0f;
constexpr int kFrame = 1024;
constexpr int kOsamp = 8;
constexpr float kBinWidth = kRate / kFrame;

// Harmonic voice with vibrato, a little noise and a leading stretch of digital silence.
std::vector<float> voice(int frames) {
    std::vector<float> x(static_cast<size_t>(frames), 0.0f);
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
    double phase = 0.0;
    for (int i = 4800; i < frames; ++i) {
        const double t = i / 48000.0;
        phase += 2.0 * std::numbers::pi *
                 (140.0 + 6.0 * std::sin(2.0 * std::numbers::pi * 5.0 * t)) / 48000.0;
        double v = 0.0;
        for (int h = 1; h <= 24; ++h) v += std::sin(h * phase) / h;
        const double envelope = 0.5 + 0.4 * std::sin(2.0 * std::numbers::pi * 1.3 * t);
        x[static_cast<size_t>(i)] = static_cast<float>(0.25 * envelope * v + 0.01 * noise(rng));
    }
    return x;
}

std::vector<float> sine(int frames, float hz) {
    std::vector<float> x(static_cast<size_t>(frames));
    for (int i = 0; i < frames; ++i)
        x[static_cast<size_t>(i)] =
            0.5f * static_cast<float>(std::sin(2.0 * std::numbers::pi * hz * i / kRate));
    return x;
}

// In 480-sample blocks, as the engine delivers them.
std::vector<float> shiftAll(PitchShifter& shifter, float ratio, const std::vector<float>& in) {
    std::vector<float> out(in.size());
    for (size_t pos = 0; pos < in.size(); pos += 480) {
        const int n = static_cast<int>(std::min<size_t>(in.size() - pos, 480));
        shifter.process(ratio, in.data() + pos, out.data() + pos, n);
    }
    return out;
}

std::vector<float> shiftFresh(float ratio, const std::vector<float>& in) {
    PitchShifter shifter(kFrame, kOsamp, kRate);
    return shiftAll(shifter, ratio, in);
}

double rms(const std::vector<float>& x, size_t from, size_t to) {
    double sum = 0.0;
    for (size_t i = from; i < to; ++i) sum += static_cast<double>(x[i]) * x[i];
    return std::sqrt(sum / static_cast<double>(to - from));
}

// Frequency from interpolated upward zero crossings.
double zeroCrossingHz(const std::vector<float>& x, size_t from, size_t to) {
    double first = -1.0, last = -1.0;
    int crossings = 0;
    for (size_t i = from + 1; i < to; ++i) {
        if (x[i - 1] < 0.0f && x[i] >= 0.0f) {
            const double at = static_cast<double>(i - 1) + x[i - 1] / (x[i - 1] - x[i]);
            if (first < 0.0) first = at;
            last = at;
            ++crossings;
        }
    }
    return crossings < 2 ? 0.0 : (crossings - 1) * kRate / (last - first);
}

TEST(PitchShifterFft, MatchesNumpyBothDirectionsUnscaled) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (int points : {8, 512, 1024}) {
        PitchShifter shifter(points, 4, kRate);
        std::vector<float> data(2 * static_cast<size_t>(points));
        for (float& v : data) v = dist(rng);
        for (int sign : {-1, 1}) {
            const std::vector<double> expected =
                numpyReference("pitch_shifter_reference.py", {"fft", std::to_string(sign)}, data);
            ASSERT_EQ(expected.size(), data.size());
            std::vector<float> got = data;
            shifter.fft(got.data(), sign);
            double worst = 0.0, peak = 0.0;
            for (size_t i = 0; i < got.size(); ++i) {
                worst = std::max(worst, std::fabs(got[i] - expected[i]));
                peak = std::max(peak, std::fabs(expected[i]));
            }
            EXPECT_LT(worst, 2e-6 * peak) << points << " points, sign " << sign;
        }
    }
}

// The straight numpy transcription of the whole shifter, on a voice with leading silence.
TEST(PitchShifterProcess, MatchesNumpyTranscription) {
    const std::vector<float> in = voice(72000);
    for (float ratio : {0.72f, 1.55f}) {
        const std::vector<double> expected =
            numpyReference("pitch_shifter_reference.py", {"shift", std::to_string(ratio)}, in);
        ASSERT_EQ(expected.size(), in.size());
        const std::vector<float> got = shiftFresh(ratio, in);
        double signal = 0.0, error = 0.0;
        for (size_t i = 0; i < got.size(); ++i) {
            signal += expected[i] * expected[i];
            error += (got[i] - expected[i]) * (got[i] - expected[i]);
        }
        const double snr = 10.0 * std::log10(signal / error);
        std::printf("ratio %.2f: SNR against numpy transcription %.1f dB\n", ratio, snr);
        RecordProperty("snr_db_" + std::to_string(ratio), std::to_string(snr));
        EXPECT_GT(snr, 60.0) << "ratio " << ratio;
    }
}

TEST(PitchShifterProcess, RatioWithinToleranceOfOneIsExactBypass) {
    const std::vector<float> in = voice(9600);
    for (float ratio : {1.0f, 1.00005f, 0.99995f}) {
        EXPECT_EQ(shiftFresh(ratio, in), in) << ratio;
        PitchShifter shifter(kFrame, kOsamp, kRate);
        std::vector<float> inPlace = in;
        shifter.process(ratio, inPlace.data(), inPlace.data(), static_cast<int>(inPlace.size()));
        EXPECT_EQ(inPlace, in) << ratio;
    }
    const std::vector<float> shifted = shiftFresh(1.0002f, in);
    EXPECT_NE(shifted, in);
}

TEST(PitchShifterProcess, BypassLeavesShiftStateUntouched) {
    const std::vector<float> a = voice(20000);
    const std::vector<float> head(a.begin(), a.begin() + 10000), tail(a.begin() + 10000, a.end());
    PitchShifter interrupted(kFrame, kOsamp, kRate), uninterrupted(kFrame, kOsamp, kRate);
    // A bypass before the first shift must not prime the FIFOs either.
    std::vector<float> scratch = voice(3000);
    interrupted.process(1.0f, scratch.data(), scratch.data(), 3000);
    const std::vector<float> headA = shiftAll(interrupted, 1.3f, head);
    interrupted.process(1.0f, scratch.data(), scratch.data(), 3000);
    const std::vector<float> tailA = shiftAll(interrupted, 1.3f, tail);
    EXPECT_EQ(headA, shiftAll(uninterrupted, 1.3f, head));
    EXPECT_EQ(tailA, shiftAll(uninterrupted, 1.3f, tail));
}

TEST(PitchShifterProcess, LowAndInvalidRatiosActAsMinimum) {
    const std::vector<float> in = voice(12000);
    const std::vector<float> minimum = shiftFresh(0.02f, in);
    EXPECT_GT(rms(minimum, 6000, 12000), 0.0);
    for (float ratio : {0.0f, -1.0f, -std::numeric_limits<float>::infinity(), 0.01f,
                        std::numeric_limits<float>::quiet_NaN()})
        EXPECT_EQ(shiftFresh(ratio, in), minimum) << ratio;
}

// k * ratio must never leave the int range or index past the spectrum.
TEST(PitchShifterProcess, HugeRatiosAreCappedAtHalfTheFrame) {
    const std::vector<float> in = voice(12000);
    const std::vector<float> capped = shiftFresh(kFrame / 2, in);
    for (float v : capped) ASSERT_TRUE(std::isfinite(v));
    for (float ratio : {513.0f, 10000.0f, 1e30f, std::numeric_limits<float>::max(),
                        static_cast<float>(1e300), std::numeric_limits<float>::infinity()})
        EXPECT_EQ(shiftFresh(ratio, in), capped) << ratio;
}

TEST(PitchShifterProcess, StartsSilentAndDelaysByTheFrame) {
    for (auto [frame, osamp] : {std::pair{1024, 8}, std::pair{256, 4}}) {
        PitchShifter shifter(frame, osamp, kRate);
        const std::vector<float> in = sine(4 * frame, 1000.0f);
        const std::vector<float> out = shiftAll(shifter, 2.0f, in);
        const int hop = frame / osamp;
        for (int i = 0; i < hop; ++i) ASSERT_EQ(out[static_cast<size_t>(i)], 0.0f) << i;
        EXPECT_NE(out[static_cast<size_t>(hop + 1)], 0.0f);
    }
    // The resynthesised frame lines up with the analysed one, so a click re-emerges a whole
    // frame later: the FIFO part N - N/O plus the hop that the frame waits for. (The slight
    // shift of 1.0002 drifts the timing by a fraction of a sample.)
    std::vector<float> click(8000, 0.0f);
    click[3000] = 1.0f;
    const std::vector<float> out = shiftFresh(1.0002f, click);
    size_t peak = 0;
    for (size_t i = 0; i < out.size(); ++i)
        if (std::fabs(out[i]) > std::fabs(out[peak])) peak = i;
    EXPECT_NEAR(static_cast<double>(peak), 3000.0 + kFrame, 1.0);
}

TEST(PitchShifterProcess, BinCentreSineOctaveUp) {
    const float hz = 20 * kBinWidth;  // 937.5 Hz
    const std::vector<float> in = sine(48000, hz);
    const std::vector<float> out = shiftFresh(2.0f, in);
    const size_t settled = 4 * kFrame;
    EXPECT_NEAR(zeroCrossingHz(out, settled, out.size()), 2.0 * hz, 0.002 * hz);
    // Steady: the level of successive frames stays put.
    const double level = rms(out, settled, out.size());
    for (size_t from = settled; from + kFrame <= out.size(); from += kFrame)
        EXPECT_NEAR(rms(out, from, from + kFrame), level, 0.02 * level) << from;
}

// Two minutes of a steady tone: the synthesis phases must not lose precision over a session.
// (The level may wander slowly: adjacent bins that carry the tone drift apart in phase by the
// rounding of their per-hop advance, as the algorithm does in single precision.)
TEST(PitchShifterProcess, LongSessionKeepsItsPitch) {
    const float hz = 60 * kBinWidth;  // shifted onto bin 90
    PitchShifter shifter(kFrame, kOsamp, kRate);
    const std::vector<float> second = sine(48000, hz);  // a whole number of periods
    std::vector<float> out(second.size());
    auto run = [&] { out = shiftAll(shifter, 1.5f, second); };
    run();
    const double level = rms(out, 4 * kFrame, out.size());
    for (int s = 1; s < 120; ++s) run();
    EXPECT_NEAR(zeroCrossingHz(out, 0, out.size()), 1.5 * hz, 0.0005 * hz);
    EXPECT_GT(rms(out, 0, out.size()), 0.5 * level);
}

TEST(PitchShifterProcess, BinsShiftedPastHalfTheFrameAreDropped) {
    const std::vector<float> in = sine(24000, 300 * kBinWidth);
    const std::vector<float> kept = shiftFresh(1.5f, in);     // lands on bin 450
    const std::vector<float> dropped = shiftFresh(2.0f, in);  // would land on bin 600
    EXPECT_GT(rms(kept, 4 * kFrame, kept.size()), 0.1);
    EXPECT_LT(rms(dropped, 4 * kFrame, dropped.size()), 1e-4);
}

TEST(PitchShifterProcess, BlockSizeAndAliasingDoNotChangeOutput) {
    const std::vector<float> in = voice(30000);
    PitchShifter whole(kFrame, kOsamp, kRate);
    std::vector<float> expected(in.size());
    whole.process(0.8f, in.data(), expected.data(), static_cast<int>(in.size()));

    PitchShifter pieces(kFrame, kOsamp, kRate);
    std::vector<float> got = in;  // in place
    const int sizes[] = {1, 2, 3, 127, 128, 129, 480, 1000, 4096, 0};
    size_t pos = 0;
    for (int k = 0; pos < got.size(); ++k) {
        const int n =
            static_cast<int>(std::min(got.size() - pos, static_cast<size_t>(sizes[k % 10])));
        pieces.process(0.8f, got.data() + pos, got.data() + pos, n);
        pos += static_cast<size_t>(n);
    }
    EXPECT_EQ(got, expected);
}

TEST(PitchShifterProcess, ResetStartsOverFromSilence) {
    const std::vector<float> a = voice(15000), b = sine(15000, 440.0f);
    PitchShifter shifter(kFrame, kOsamp, kRate);
    shiftAll(shifter, 1.7f, a);
    shifter.reset();
    EXPECT_EQ(shiftAll(shifter, 1.7f, b), shiftFresh(1.7f, b));
}

TEST(PitchShifterProcess, NonFiniteInputIsTakenAsSilence) {
    std::vector<float> in = voice(20000);
    std::vector<float> silenced = in;
    for (size_t i : {9000u, 9001u, 12345u}) silenced[i] = 0.0f;
    in[9000] = std::numeric_limits<float>::quiet_NaN();
    in[9001] = std::numeric_limits<float>::infinity();
    in[12345] = 1e30f;
    EXPECT_EQ(shiftFresh(1.4f, in), shiftFresh(1.4f, silenced));
}

TEST(PitchShifterConstruction, RejectsUnusableShapes) {
    EXPECT_THROW(PitchShifter(1000, 8, kRate), std::invalid_argument);
    EXPECT_THROW(PitchShifter(2, 1, kRate), std::invalid_argument);
    EXPECT_THROW(PitchShifter(1024, 0, kRate), std::invalid_argument);
    EXPECT_THROW(PitchShifter(1024, 2048, kRate), std::invalid_argument);
    EXPECT_THROW(PitchShifter(1024, 8, 0.0f), std::invalid_argument);
    const PitchShifter ok(1024, 8, kRate);
    EXPECT_EQ(ok.frameSize(), 1024);
    EXPECT_EQ(ok.oversampling(), 8);
}

}  // namespace

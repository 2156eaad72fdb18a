#include "rvc/mel_extractor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "numpy_reference.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// The converter's configuration.
const MelConfig kConverter{16000, 1024, 160, 128, 30.0f, 8000.0f, 1e-5f};
// A second shape whose filterbank reaches down to DC and up to Nyquist.
const MelConfig kSmall{8000, 256, 80, 40, 0.0f, 4000.0f, 1e-4f};

std::vector<std::string> referenceArgs(const char* mode, const MelConfig& c) {
    auto text = [](double v) {
        std::ostringstream s;
        s.precision(9);
        s << v;
        return s.str();
    };
    return {mode,          text(c.sampleRate), text(c.nFft), text(c.hop),
            text(c.nMels), text(c.fmin),       text(c.fmax), text(c.logFloor)};
}

// A linear chirp sweeping the band over the chunk, over a noise floor that keeps every band
// well above the log floor.
std::vector<float> chirpWithNoise(int n, double rate, double f0, double f1, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> noise(-0.02, 0.02);
    std::vector<float> x(n);
    const double duration = n / rate;
    for (int i = 0; i < n; ++i) {
        const double t = i / rate;
        const double phase = 2.0 * kPi * (f0 * t + 0.5 * (f1 - f0) / duration * t * t);
        x[i] = static_cast<float>(0.5 * std::sin(phase) + noise(rng));
    }
    return x;
}

double worstLogError(const std::vector<float>& got, const std::vector<double>& expected) {
    double worst = 0.0;
    for (size_t i = 0; i < got.size(); ++i)
        worst = std::max(worst, std::fabs(got[i] - expected[i]));
    return worst;
}

TEST(MelExtractorTest, FrameCountIsSamplesOverHopPlusOne) {
    MelExtractor mel(kConverter);
    std::vector<float> out;
    for (const auto& [n, frames] : {std::pair{16000, 101}, {16960, 107}, {159, 1}, {160, 2}}) {
        const std::vector<float> x(n, 0.25f);
        EXPECT_EQ(mel.compute(x.data(), n, out), frames) << "n " << n;
        EXPECT_EQ(out.size(), 128u * frames) << "n " << n;
    }
}

TEST(MelExtractorTest, SilentChunkIsLogFloorInEveryCell) {
    MelExtractor mel(kConverter);
    const std::vector<float> x(16000, 0.0f);
    std::vector<float> out;
    ASSERT_EQ(mel.compute(x.data(), 16000, out), 101);
    for (float v : out) ASSERT_FLOAT_EQ(v, std::log(1e-5f));
}

TEST(MelExtractorTest, FilterbankMatchesNumpyTriangles) {
    for (const MelConfig& c : {kConverter, kSmall}) {
        MelExtractor mel(c);
        const std::vector<double> expected =
            numpyReference("mel_reference.py", referenceArgs("filterbank", c), {});
        const std::vector<float>& fb = mel.filterbank();
        ASSERT_EQ(fb.size(), static_cast<size_t>(c.nMels) * (c.nFft / 2 + 1));
        ASSERT_EQ(expected.size(), fb.size());
        double worst = 0.0;
        for (size_t i = 0; i < fb.size(); ++i)
            worst = std::max(worst, std::fabs(fb[i] - expected[i]));
        EXPECT_LT(worst, 1e-6) << "nFft " << c.nFft;
    }
}

TEST(MelExtractorTest, SpectrogramOfChirpWithNoiseMatchesNumpy) {
    struct Case {
        MelConfig config;
        int n;
    };
    for (const Case& c : {Case{kConverter, 16960}, Case{kSmall, 3000}}) {
        const auto x =
            chirpWithNoise(c.n, c.config.sampleRate, 50.0, 0.45 * c.config.sampleRate, 3);
        MelExtractor mel(c.config);
        std::vector<float> out;
        const int frames = mel.compute(x.data(), c.n, out);
        const std::vector<double> expected =
            numpyReference("mel_reference.py", referenceArgs("mel", c.config), x);
        ASSERT_EQ(expected.size(), static_cast<size_t>(c.config.nMels) * frames);
        ASSERT_EQ(out.size(), expected.size());
        EXPECT_LT(worstLogError(out, expected), 1e-3) << "n " << c.n;
    }
}

TEST(MelExtractorTest, ShortChunksReflectWithinTheirSamples) {
    MelExtractor mel(kConverter);
    const auto source = chirpWithNoise(513, 16000, 200.0, 6000.0, 5);
    std::vector<float> out;
    for (int n : {513, 512, 100, 2, 1}) {
        const std::vector<float> x(source.begin(), source.begin() + n);
        ASSERT_EQ(mel.compute(x.data(), n, out), n / 160 + 1);
        const std::vector<double> expected =
            numpyReference("mel_reference.py", referenceArgs("mel", kConverter), x);
        ASSERT_EQ(out.size(), expected.size()) << "n " << n;
        EXPECT_LT(worstLogError(out, expected), 1e-3) << "n " << n;
    }
}

// One sample fills every frame position with itself: the windowed frame's spectrum is x0 times
// that of the periodic Hann window, nFft/2 at DC and nFft/4 at bin 1, zero elsewhere.
TEST(MelExtractorTest, SingleSampleGivesScaledWindowSpectrum) {
    MelExtractor mel(kSmall);
    const float x0 = -0.75f;
    std::vector<float> out;
    ASSERT_EQ(mel.compute(&x0, 1, out), 1);
    const int bins = kSmall.nFft / 2 + 1;
    for (int m = 0; m < kSmall.nMels; ++m) {
        const float* row = mel.filterbank().data() + static_cast<size_t>(m) * bins;
        const double s = 0.75 * (kSmall.nFft / 2 * row[0] + kSmall.nFft / 4 * row[1]);
        EXPECT_NEAR(out[m], std::log(std::max<double>(kSmall.logFloor, s)), 1e-5) << "band " << m;
    }
}

TEST(MelExtractorTest, EmptyChunkIsOneSilentFrame) {
    MelExtractor mel(kConverter);
    const auto x = chirpWithNoise(4000, 16000, 100.0, 4000.0, 9);
    std::vector<float> out;
    mel.compute(x.data(), 4000, out);
    ASSERT_EQ(mel.compute(nullptr, 0, out), 1);
    ASSERT_EQ(out.size(), 128u);
    for (float v : out) EXPECT_FLOAT_EQ(v, std::log(1e-5f));
}

}  // namespace

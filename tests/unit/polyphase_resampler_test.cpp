#include "rvc/polyphase_resampler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <new>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "numpy_reference.h"

// Counts every allocation of the process so that a test can prove a stretch free of them.
namespace {
std::atomic<long> g_allocations{0};
}

void* operator new(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
// Not inlined: GCC would otherwise pair the free with a `new` at the call site and warn.
[[gnu::noinline]] void operator delete(void* p) noexcept {
    std::free(p);
}
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Rates {
    int in, out, tapsPerPhase;
};

std::string describe(const Rates& r) {
    return std::to_string(r.in) + "->" + std::to_string(r.out) + " taps " +
           std::to_string(r.tapsPerPhase);
}

std::vector<std::string> referenceArgs(const char* mode, const Rates& r) {
    return {mode, std::to_string(r.in), std::to_string(r.out), std::to_string(r.tapsPerPhase)};
}

std::vector<float> noise(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> x(n);
    for (float& v : x) v = dist(rng);
    return x;
}

std::vector<float> sine(double freq, double rate, size_t n) {
    std::vector<float> x(n);
    for (size_t i = 0; i < n; ++i) x[i] = static_cast<float>(std::sin(2.0 * kPi * freq * i / rate));
    return x;
}

std::vector<float> resampleAll(const Rates& r, const std::vector<float>& x) {
    PolyphaseResampler resampler(r.in, r.out, r.tapsPerPhase);
    std::vector<float> y;
    resampler.push(x.data(), x.size(), y);
    return y;
}

// Amplitude of the component at `freq` in y[from..], by a Hann-windowed projection: far from
// the strong tones the window's leakage is negligible against the levels measured here.
double toneAmplitude(const std::vector<float>& y, size_t from, double freq, double rate) {
    std::complex<double> acc = 0.0;
    double weight = 0.0;
    const size_t m = y.size() - from;
    for (size_t i = 0; i < m; ++i) {
        const double w = 0.5 - 0.5 * std::cos(2.0 * kPi * i / m);
        acc += w * static_cast<double>(y[from + i]) *
               std::polar(1.0, -2.0 * kPi * freq * static_cast<double>(from + i) / rate);
        weight += w;
    }
    return 2.0 * std::abs(acc) / weight;
}

double db(double amplitude) {
    return 20.0 * std::log10(amplitude);
}

TEST(PolyphaseResampler, DownsamplingByThreeReleasesWhatTheLookAheadAllows) {
    PolyphaseResampler resampler(48000, 16000, 16);
    EXPECT_EQ(resampler.up(), 1);
    EXPECT_EQ(resampler.down(), 3);
    EXPECT_EQ(resampler.taps().size(), 17u);

    const std::vector<float> x = noise(960, 1);
    std::vector<float> out;
    // Output 158 sits at input 474 and needs up to input 482.
    EXPECT_EQ(resampler.push(x.data(), 480, out), 158u);
    EXPECT_EQ(out.size(), 158u);
    // The rest: outputs up to 317, which needs input 959.
    EXPECT_EQ(resampler.push(x.data() + 480, 480, out), 160u);
    EXPECT_EQ(out.size(), 318u);
    EXPECT_EQ(resampler.push(nullptr, 0, out), 0u);
}

TEST(PolyphaseResampler, FortyToFortyEightKilohertzSettlesToUnitDcGain) {
    PolyphaseResampler resampler(40000, 48000, 12);
    EXPECT_EQ(resampler.up(), 6);
    EXPECT_EQ(resampler.down(), 5);
    EXPECT_EQ(resampler.taps().size(), 73u);

    const std::vector<float> ones(4000, 1.0f);
    std::vector<float> out;
    resampler.push(ones.data(), ones.size(), out);
    ASSERT_GT(out.size(), 4700u);
    for (size_t i = 20; i < out.size(); ++i) ASSERT_NEAR(out[i], 1.0f, 1e-3f) << "output " << i;
}

TEST(PolyphaseResampler, SameRateIsAFilteredCopyWithUnitDcGain) {
    PolyphaseResampler resampler(44100, 44100, 16);
    EXPECT_EQ(resampler.up(), 1);
    EXPECT_EQ(resampler.down(), 1);

    const std::vector<float> ones(200, 1.0f);
    std::vector<float> out;
    EXPECT_EQ(resampler.push(ones.data(), ones.size(), out), 200u - 8u);
    for (size_t i = 8; i < out.size(); ++i) ASSERT_NEAR(out[i], 1.0f, 1e-6f) << "output " << i;
}

TEST(PolyphaseResampler, TapsMatchTheWindowedSincDesign) {
    // 48000 -> 44100 with 3 taps per phase has an odd N = 441.
    for (const Rates& r : {Rates{48000, 16000, 16}, Rates{40000, 48000, 12},
                           Rates{40000, 44100, 16}, Rates{48000, 44100, 3}}) {
        SCOPED_TRACE(describe(r));
        const std::vector<float> taps = PolyphaseResampler(r.in, r.out, r.tapsPerPhase).taps();
        const std::vector<double> expected = numpyReference(
            "resampler_reference.py", referenceArgs("taps", r), std::vector<float>{});
        ASSERT_EQ(taps.size(), expected.size());
        const double peak = *std::max_element(expected.begin(), expected.end());
        for (size_t i = 0; i < taps.size(); ++i) {
            ASSERT_NEAR(taps[i], expected[i], 1e-6 * peak) << "tap " << i;
        }
    }
}

TEST(PolyphaseResampler, OutputMatchesZeroStuffFilterDecimate) {
    const std::vector<float> x = noise(3000, 2);
    for (const Rates& r :
         {Rates{44100, 48000, 16}, Rates{48000, 16000, 16}, Rates{40000, 44100, 12},
          Rates{48000, 44100, 3}, Rates{22050, 22050, 16}}) {
        SCOPED_TRACE(describe(r));
        const std::vector<float> y = resampleAll(r, x);
        const std::vector<double> expected =
            numpyReference("resampler_reference.py", referenceArgs("resample", r), x);
        ASSERT_EQ(y.size(), expected.size());
        for (size_t i = 0; i < y.size(); ++i)
            ASSERT_NEAR(y[i], expected[i], 2e-5) << "output " << i;
    }
}

TEST(PolyphaseResampler, SplitPushesGiveTheSameOutputAsOne) {
    const std::vector<float> x = noise(6000, 3);
    std::mt19937 rng(4);
    std::uniform_int_distribution<size_t> blockSize(0, 700);
    for (const Rates& r : {Rates{44100, 48000, 16}, Rates{48000, 16000, 16},
                           Rates{40000, 44100, 16}, Rates{8000, 192000, 16}}) {
        SCOPED_TRACE(describe(r));
        const std::vector<float> whole = resampleAll(r, x);
        PolyphaseResampler resampler(r.in, r.out, r.tapsPerPhase);
        std::vector<float> pieces;
        for (size_t at = 0; at < x.size();) {
            const size_t n = std::min(blockSize(rng), x.size() - at);
            const size_t before = pieces.size();
            const size_t produced = resampler.push(x.data() + at, n, pieces);
            EXPECT_EQ(produced, pieces.size() - before);
            at += n;
        }
        EXPECT_EQ(pieces, whole);

        // After a reset the same input starts the same stream again.
        resampler.reset();
        std::vector<float> again;
        resampler.push(x.data(), x.size(), again);
        EXPECT_EQ(again, whole);
    }
}

TEST(PolyphaseResampler, PassbandToneKeepsItsAmplitudeAndFrequency) {
    for (const Rates& r : {Rates{44100, 48000, 16}, Rates{48000, 16000, 16}}) {
        SCOPED_TRACE(describe(r));
        const std::vector<float> y = resampleAll(r, sine(1000.0, r.in, r.in / 2));
        EXPECT_NEAR(toneAmplitude(y, 100, 1000.0, r.out), 1.0, 0.005);
        // The projection is selective: a tone landing 2 % off would not count.
        EXPECT_LT(toneAmplitude(y, 100, 1020.0, r.out), 0.01);
    }
}

TEST(PolyphaseResampler, StopbandIsAttenuatedByFortyDecibels) {
    // Downsampling: tones above the new Nyquist frequency alias to tone - 16 kHz or 16 kHz - tone.
    for (double tone : {13000.0, 14000.0, 20000.0}) {
        SCOPED_TRACE("48000->16000, tone " + std::to_string(tone));
        const std::vector<float> y = resampleAll({48000, 16000, 16}, sine(tone, 48000, 24000));
        const double alias = std::fabs(16000.0 - tone);
        EXPECT_LT(db(toneAmplitude(y, 100, alias, 16000)), -40.0);
    }
    // Upsampling: the image of a tone f at 44.1 kHz - f appears at 48 kHz - (44.1 kHz - f).
    for (double tone : {2000.0, 10000.0, 18000.0}) {
        SCOPED_TRACE("44100->48000, tone " + std::to_string(tone));
        const std::vector<float> y = resampleAll({44100, 48000, 16}, sine(tone, 44100, 22050));
        EXPECT_LT(db(toneAmplitude(y, 100, 48000.0 - (44100.0 - tone), 48000)), -40.0);
    }
}

TEST(PolyphaseResampler, AcceptsTheStandardRatesOfTheVoicePath) {
    for (int rate :
         {8000, 11025, 16000, 22050, 24000, 32000, 44100, 48000, 88200, 96000, 176400, 192000}) {
        SCOPED_TRACE(rate);
        EXPECT_NO_THROW(PolyphaseResampler(rate, 16000, 16));
        EXPECT_NO_THROW(PolyphaseResampler(rate, 48000, 16));
        EXPECT_NO_THROW(PolyphaseResampler(16000, rate, 16));
        EXPECT_NO_THROW(PolyphaseResampler(48000, rate, 16));
    }
    // 11025 Hz is out of reach from 40 kHz (441/1600).
    for (int rate :
         {8000, 16000, 22050, 24000, 32000, 44100, 48000, 88200, 96000, 176400, 192000}) {
        SCOPED_TRACE(rate);
        EXPECT_NO_THROW(PolyphaseResampler(40000, rate, 12));
    }
    const PolyphaseResampler to44k(40000, 44100, 16);
    EXPECT_EQ(to44k.up(), 441);
    EXPECT_EQ(to44k.down(), 400);
    EXPECT_EQ(to44k.taps().size(), 7057u);
    EXPECT_EQ(PolyphaseResampler(44100, 48000, 16).up(), 160);
    EXPECT_EQ(PolyphaseResampler(22050, 48000, 16).down(), 147);
    EXPECT_EQ(PolyphaseResampler(1023, 1024, 2).up(), 1024);
    EXPECT_EQ(PolyphaseResampler(1024, 1023, 2).down(), 1024);
}

TEST(PolyphaseResampler, RefusesImplausibleRatiosAndLengths) {
    const auto message = [](int in, int out, int taps) {
        try {
            PolyphaseResampler(in, out, taps);
        } catch (const std::runtime_error& e) {
            return std::string(e.what());
        }
        return std::string("accepted");
    };
    const std::string ratio = "Resampler: unplausibles Verhältnis";
    EXPECT_EQ(message(1025, 1, 16), ratio);
    EXPECT_EQ(message(1, 1025, 16), ratio);
    EXPECT_EQ(message(40000, 11025, 12), ratio);  // 441/1600
    EXPECT_EQ(message(48000, 0, 16), ratio);
    EXPECT_EQ(message(0, 16000, 16), ratio);
    EXPECT_EQ(message(-48000, 16000, 16), ratio);
    EXPECT_EQ(message(48000, -16000, 16), ratio);
    EXPECT_EQ(message(48000, 16000, 0), "Resampler: unplausible Filterlänge");
    EXPECT_EQ(message(48000, 16000, 1025), "Resampler: unplausible Filterlänge");
}

TEST(PolyphaseResampler, SteadyStatePushDoesNotAllocate) {
    for (const Rates& r :
         {Rates{48000, 16000, 16}, Rates{40000, 44100, 12}, Rates{40000, 48000, 12}}) {
        SCOPED_TRACE(describe(r));
        PolyphaseResampler resampler(r.in, r.out, r.tapsPerPhase);
        const std::vector<float> block = noise(1024, 5);
        std::vector<float> out;
        out.reserve(400000);
        const long before = g_allocations.load();
        for (int i = 0; i < 300; ++i) resampler.push(block.data(), block.size(), out);
        EXPECT_EQ(g_allocations.load() - before, 0);
        EXPECT_GT(out.size(), 300u * 1024u * r.out / r.in - 1000u);
    }
}

}  // namespace

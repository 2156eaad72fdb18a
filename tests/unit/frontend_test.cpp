// The neural front end (FFT, mel spectrogram, resampler) against independent numpy readings.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "rvc/kw_fft.h"
#include "rvc/mel_extractor.h"
#include "rvc/polyphase_resampler.h"

namespace {

// The largest difference of got from what tests/reference/frontend_reference.py <in.f32> <out.f64>
// <args> writes for the input.
double worstError(const std::vector<float>& got, const std::string& args,
                  const std::vector<float>& input) {
    namespace fs = std::filesystem;
    const fs::path in = fs::temp_directory_path() / ("kw_ref_" + std::to_string(::getpid()));
    const fs::path out = in.string() + ".out";
    std::ofstream(in, std::ios::binary)
        .write(reinterpret_cast<const char*>(input.data()),
               static_cast<std::streamsize>(input.size() * sizeof(float)));
    const std::string cmd = std::string(KW_PYTHON) + " " + KW_REFERENCE_DIR +
                            "/frontend_reference.py " + in.string() + " " + out.string() + " " +
                            args;
    std::vector<double> expected;
    if (std::system(cmd.c_str()) == 0) {
        std::ifstream f(out, std::ios::binary | std::ios::ate);
        expected.resize(static_cast<size_t>(f.tellg()) / sizeof(double));
        f.seekg(0).read(reinterpret_cast<char*>(expected.data()),
                        static_cast<std::streamsize>(expected.size() * sizeof(double)));
    }
    fs::remove(in);
    fs::remove(out);
    EXPECT_EQ(got.size(), expected.size()) << cmd;
    double worst = expected.empty() ? 1e9 : 0.0;
    for (size_t i = 0; i < std::min(got.size(), expected.size()); ++i)
        worst = std::max(worst, std::fabs(got[i] - expected[i]));
    return worst;
}

std::vector<float> noise(size_t n, unsigned seed, float amp = 1.0f) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-amp, amp);
    std::vector<float> x(n);
    for (float& v : x) v = dist(rng);
    return x;
}

TEST(KwFft, MatchesNumpyUnscaledBothWays) {
    const std::vector<int> sizes = {1, 2, 4, 8, 64, 512, 1024};
    for (int sign : {-1, 1}) {
        std::vector<float> input;
        std::string args = sign < 0 ? "fft -1" : "fft 1";
        for (int n : sizes) {
            const std::vector<float> block = noise(2 * n, n + sign);
            input.insert(input.end(), block.begin(), block.end());
            args.append(" ").append(std::to_string(n));
        }
        std::vector<float> got = input;
        for (size_t at = 0, k = 0; k < sizes.size(); at += 2 * sizes[k], ++k)
            kwFft(got.data() + at, sizes[k], sign);
        // The recurrent twiddle drifts by about an ulp per butterfly position.
        EXPECT_LT(worstError(got, args, input), 2e-4) << "sign " << sign;
    }
}

// A chirp over a noise floor that keeps every band above the log floor, at two shapes: the
// converter's, and one whose filterbank reaches from DC to Nyquist; short chunks reflect within
// their own samples.
TEST(MelExtractor, MatchesNumpy) {
    const MelConfig converter{16000, 1024, 160, 128, 30.0f, 8000.0f, 1e-5f};
    const MelConfig small{8000, 256, 80, 40, 0.0f, 4000.0f, 1e-4f};
    for (const auto& [c, n] : {std::pair{converter, 16960}, {small, 3000}, {converter, 100}}) {
        std::vector<float> x = noise(n, 3, 0.02f);
        for (int i = 0; i < n; ++i)
            x[i] += 0.5f * std::sin(2 * std::numbers::pi *
                                    (50.0 * i + 0.2 * c.sampleRate * i * i / n) / c.sampleRate);
        MelExtractor mel(c);
        std::vector<float> out;
        EXPECT_EQ(mel.compute(x.data(), n, out), n / c.hop + 1);
        char args[128];
        std::snprintf(args, sizeof args, "mel %d %d %d %d %g %g %g", c.sampleRate, c.nFft, c.hop,
                      c.nMels, c.fmin, c.fmax, c.logFloor);
        EXPECT_LT(worstError(out, args, x), 1e-3) << n;
    }
    MelExtractor mel(converter);
    std::vector<float> out;
    EXPECT_EQ(mel.compute(nullptr, 0, out), 1);  // an empty chunk is one silent frame
    EXPECT_EQ(out, std::vector<float>(128, std::log(1e-5f)));
}

TEST(PolyphaseResampler, MatchesTheTextbookInOneOrManyPushes) {
    const std::vector<float> x = noise(3000, 2);
    std::mt19937 rng(4);
    for (const auto& [in, out, taps] :
         {std::tuple{44100, 48000, 16}, std::tuple{48000, 16000, 16}, std::tuple{40000, 44100, 12},
          std::tuple{40000, 48000, 12}, std::tuple{48000, 44100, 3},
          std::tuple{22050, 22050, 16}}) {
        PolyphaseResampler resampler(in, out, taps);
        std::vector<float> pieces;
        for (size_t at = 0; at < x.size();) {
            const size_t n = std::min<size_t>(rng() % 700, x.size() - at);
            const size_t before = pieces.size();
            const size_t produced = resampler.push(x.data() + at, n, pieces);
            EXPECT_EQ(produced, pieces.size() - before);
            at += n;
        }
        const std::string args = "resample " + std::to_string(in) + " " + std::to_string(out) +
                                 " " + std::to_string(taps);
        EXPECT_LT(worstError(pieces, args, x), 2e-5) << args;
        resampler.reset();  // the same input starts the same stream again
        std::vector<float> again;
        resampler.push(x.data(), x.size(), again);
        EXPECT_EQ(again, pieces) << args;
    }
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
    for (const auto& [in, out] :
         {std::pair{1025, 1}, {1, 1025}, {40000, 11025}, {48000, 0}, {0, 16000}, {-48000, 16000}})
        EXPECT_EQ(message(in, out, 16), "Resampler: unplausibles Verhältnis") << in << " " << out;
    EXPECT_EQ(message(48000, 16000, 0), "Resampler: unplausible Filterlänge");
    EXPECT_EQ(message(48000, 16000, 1025), "Resampler: unplausible Filterlänge");
    EXPECT_EQ(message(1023, 1024, 2), "accepted");
}

}  // namespace

#include "rvc/kw_fft.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "numpy_reference.h"

namespace {

const std::vector<int> kSizes = {1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024};

// Every size in one reference call: the blocks are laid out one after the other.
void expectMatchesNumpy(int sign) {
    std::mt19937 rng(7 + sign);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> input;
    std::vector<std::string> args = {"fft", std::to_string(sign)};
    for (int n : kSizes) {
        for (int i = 0; i < 2 * n; ++i) input.push_back(dist(rng));
        args.push_back(std::to_string(n));
    }
    const std::vector<double> expected = numpyReference("mel_reference.py", args, input);
    ASSERT_EQ(expected.size(), input.size());

    std::vector<float> data = input;
    size_t offset = 0;
    for (int n : kSizes) {
        kwFft(data.data() + offset, n, sign);
        double energy = 0.0, worst = 0.0;
        for (size_t i = offset; i < offset + 2 * n; ++i) {
            energy += double(input[i]) * input[i];
            worst = std::max(worst, std::fabs(data[i] - expected[i]));
        }
        // Outputs are of the size of the input's norm. The recurrent twiddle drifts by about
        // an ulp per butterfly position, so the error grows with n (about 1e-5 of the norm at
        // 1024 points, twice that allowed).
        EXPECT_LE(worst, (1e-6 + 2e-8 * n) * std::sqrt(energy)) << "n " << n;
        offset += 2 * static_cast<size_t>(n);
    }
}

TEST(KwFftTest, ForwardMatchesNumpyUnscaled) {
    expectMatchesNumpy(-1);
}

TEST(KwFftTest, InverseKernelMatchesNumpyWithoutScaling) {
    expectMatchesNumpy(+1);
}

}  // namespace

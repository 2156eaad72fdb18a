#include "rvc/mel_extractor.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "rvc/kw_fft.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

double hzToMel(double f) {
    return 2595.0 * std::log10(1.0 + f / 700.0);
}

double melToHz(double mel) {
    return 700.0 * (std::pow(10.0, mel / 2595.0) - 1.0);
}

}  // namespace

// The tables are computed in double and stored as float, once per extractor.
MelExtractor::MelExtractor(const MelConfig& cfg)
    : cfg_(cfg),
      window_(static_cast<size_t>(cfg.nFft)),
      filterbank_(static_cast<size_t>(cfg.nMels) * (cfg.nFft / 2 + 1)),
      fft_(2 * static_cast<size_t>(cfg.nFft)) {
    for (int i = 0; i < cfg.nFft; ++i) {
        window_[i] = static_cast<float>(0.5 - 0.5 * std::cos(2.0 * kPi * i / cfg.nFft));
    }

    // nMels + 2 points evenly spaced in mel, as fractional FFT bins.
    const double lo = hzToMel(cfg.fmin), hi = hzToMel(cfg.fmax);
    std::vector<double> edge(static_cast<size_t>(cfg.nMels) + 2);
    for (size_t k = 0; k < edge.size(); ++k) {
        const double mel = lo + static_cast<double>(k) * (hi - lo) / (cfg.nMels + 1);
        edge[k] = melToHz(mel) * cfg.nFft / cfg.sampleRate;
    }

    const int bins = cfg.nFft / 2 + 1;
    for (int m = 0; m < cfg.nMels; ++m) {
        const double left = edge[m], centre = edge[m + 1], right = edge[m + 2];
        float* row = filterbank_.data() + static_cast<size_t>(m) * bins;
        for (int j = 0; j < bins; ++j) {
            double w = 0.0;
            if (left <= j && j <= centre) {
                if (centre > left) w = (j - left) / (centre - left);
            } else if (centre < j && j <= right) {
                w = (right - j) / (right - centre);
            }
            row[j] = static_cast<float>(w);
        }
        int first = 0, last = bins;
        while (first < bins && row[first] == 0.0f) ++first;
        while (last > first && row[last - 1] == 0.0f) --last;
        span_.emplace_back(first, last);
    }
}

int MelExtractor::compute(const float* x, int n, std::vector<float>& out) {
    const int frames = n / cfg_.hop + 1;
    const int pad = cfg_.nFft / 2;
    const int bins = pad + 1;

    padded_.assign(static_cast<size_t>(n) + 2 * pad, 0.0f);
    if (n > 0) {
        // Reflection without repeating the edge sample, clamped to the chunk when it is short.
        for (int i = 0; i < pad; ++i) {
            padded_[i] = x[std::min(n - 1, pad - i)];
            padded_[pad + n + i] = x[std::max(n - 2 - i, 0)];
        }
        std::copy(x, x + n, padded_.begin() + pad);
    }

    out.resize(static_cast<size_t>(cfg_.nMels) * frames);
    for (int t = 0; t < frames; ++t) {
        const float* frame = padded_.data() + static_cast<size_t>(t) * cfg_.hop;
        for (int k = 0; k < cfg_.nFft; ++k) {
            fft_[2 * k] = frame[k] * window_[k];
            fft_[2 * k + 1] = 0.0f;
        }
        kwFft(fft_.data(), cfg_.nFft, -1);
        // Magnitudes overwrite the front of the buffer: bin k is read before slot k is written.
        for (int k = 0; k < bins; ++k) {
            const float re = fft_[2 * k], im = fft_[2 * k + 1];
            fft_[k] = std::sqrt(re * re + im * im);
        }
        for (int m = 0; m < cfg_.nMels; ++m) {
            const float* row = filterbank_.data() + static_cast<size_t>(m) * bins;
            float s = 0.0f;
            for (int k = span_[m].first; k < span_[m].second; ++k) s += fft_[k] * row[k];
            out[static_cast<size_t>(m) * frames + t] = std::log(std::max(cfg_.logFloor, s));
        }
    }
    return frames;
}

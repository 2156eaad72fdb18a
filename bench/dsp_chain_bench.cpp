// Real-time factor of DspChain::process per preset: mono, 48 kHz, 480-frame blocks (10 ms).
// RTF = processing time / audio time; the goal is at most 0.005 for every preset.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "dsp/dsp_chain.h"
#include "dsp/presets.h"

namespace {

constexpr float kSampleRate = 48000.0f;
constexpr int kBlock = 480;

// One second of a voice-like signal: harmonics of a gliding fundamental plus a little noise.
std::vector<float> voiceSecond() {
    std::vector<float> x(static_cast<size_t>(kSampleRate));
    double phase = 0.0;
    unsigned r = 12345;
    for (size_t i = 0; i < x.size(); ++i) {
        const double f0 = 110.0 + 80.0 * i / x.size();
        phase += 2.0 * M_PI * f0 / kSampleRate;
        double h = 0.0;
        for (int k = 1; k <= 12; ++k) h += std::sin(k * phase) / k;
        r = r * 1664525u + 1013904223u;
        x[i] = static_cast<float>(0.3 * h + 0.02 * (double(r >> 8) / double(1u << 24) - 0.5));
    }
    return x;
}

void processPreset(benchmark::State& state, const std::string& name) {
    static const std::vector<float> source = voiceSecond();
    bool ok = false;
    DspChain chain;
    chain.init(1, kSampleRate);
    chain.setParams(presetByName(name, ok));
    if (!ok) {
        state.SkipWithError("unknown preset");
        return;
    }
    std::vector<float> block(kBlock);
    size_t start = 0;
    for (auto _ : state) {
        // The copy costs a few tens of nanoseconds; pausing the timer would cost far more.
        std::copy_n(source.begin() + start, kBlock, block.begin());
        start = (start + kBlock) % source.size();
        chain.process(block.data(), kBlock);
        benchmark::DoNotOptimize(block.data());
        benchmark::ClobberMemory();
    }
    // Audio seconds per iteration, inverted into processing seconds per audio second; the console
    // shows it with a time prefix ("1.2ms" is an RTF of 0.0012).
    state.counters["RTF"] =
        benchmark::Counter(kBlock / kSampleRate, benchmark::Counter::kIsIterationInvariantRate |
                                                     benchmark::Counter::kInvert);
}

// Every name of the preset list the front end offers.
std::vector<std::string> listedPresets() {
    std::vector<std::string> names;
    const std::string text = presetListJson();
    for (size_t i = text.find('"'); i != std::string::npos; i = text.find('"', i)) {
        const size_t end = text.find('"', i + 1);
        names.push_back(text.substr(i + 1, end - i - 1));
        i = end + 1;
    }
    return names;
}

}  // namespace

int main(int argc, char** argv) {
    for (const std::string& name : listedPresets()) {
        benchmark::RegisterBenchmark(("DspChain/" + name).c_str(), processPreset, name)
            ->Unit(benchmark::kMicrosecond);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

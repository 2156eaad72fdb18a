// Cost of an output's rate conversion per second of audio: stereo, 480-frame requests, at the
// rate pairs the engine meets most.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "dsp/stream_resampler.h"

namespace {

void convertOneSecond(benchmark::State& state) {
    const int in = static_cast<int>(state.range(0)), out = static_cast<int>(state.range(1));
    StreamResampler resampler;
    resampler.prepare(in, out, 2, 480);
    const double step = resampler.nominalStep() * (1.0 + 100e-6);  // following a drifting clock
    std::vector<float> input(2 * resampler.mostInputFor(480));
    for (size_t i = 0; i < input.size(); ++i) input[i] = 0.3f * std::sin(0.01f * i);
    std::vector<float> output(2 * 480);
    for (auto _ : state) {
        for (int frames = 0; frames < out; frames += 480) {
            resampler.process(input.data(), output.data(), 480, step);
            benchmark::DoNotOptimize(output.data());
        }
    }
    state.SetLabel("per second of audio");
}
BENCHMARK(convertOneSecond)
    ->Args({44100, 48000})
    ->Args({48000, 48000})
    ->Args({16000, 48000})
    ->Args({48000, 44100})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

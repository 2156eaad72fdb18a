// Cost of the pitch shifter at the chain's settings (frame 1024, oversampling 8, 48 kHz mono).
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "dsp/pitch_shifter.h"

namespace {

constexpr float kRate = 48000.0f;

std::vector<float> voiceLike(int frames) {
    std::vector<float> x(static_cast<size_t>(frames));
    for (int i = 0; i < frames; ++i) {
        const float t = static_cast<float>(i) / kRate;
        x[static_cast<size_t>(i)] = 0.3f * std::sin(6.2831855f * 140.0f * t) +
                                    0.2f * std::sin(6.2831855f * 710.0f * t) +
                                    0.1f * std::sin(6.2831855f * 2300.0f * t);
    }
    return x;
}

// One full hop per iteration: 128 samples in, one frame analysed and resynthesised.
void BM_PerHop(benchmark::State& state) {
    const float ratio = static_cast<float>(state.range(0)) / 100.0f;
    PitchShifter shifter(1024, 8, kRate);
    const int hop = shifter.frameSize() / shifter.oversampling();
    std::vector<float> in = voiceLike(hop * 64), out(in.size());
    size_t pos = 0;
    for (auto _ : state) {
        shifter.process(ratio, in.data() + pos, out.data() + pos, hop);
        benchmark::DoNotOptimize(out.data() + pos);
        pos = (pos + static_cast<size_t>(hop)) % in.size();
    }
    state.SetLabel("ratio " + std::to_string(ratio));
}
BENCHMARK(BM_PerHop)->Arg(72)->Arg(155)->Arg(200);

// One second of 48 kHz mono in 480-sample blocks: the time per iteration is the real-time
// factor in seconds (3 ms means RTF 0.003).
void BM_OneSecond480(benchmark::State& state) {
    PitchShifter shifter(1024, 8, kRate);
    const std::vector<float> in = voiceLike(48000);
    std::vector<float> out(in.size());
    for (auto _ : state) {
        for (size_t pos = 0; pos < in.size(); pos += 480)
            shifter.process(0.72f, in.data() + pos, out.data() + pos, 480);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_OneSecond480)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

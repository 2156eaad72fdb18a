// The capture path under a storm of voice and parameter changes: a capture thread runs the engine's
// block processing every 10 ms (480 stereo frames at 48 kHz) while the command thread switches
// voices and moves every parameter. Prints the block times idle and during the storm, and the
// allocations made on the capture thread.
//
//   voice_storm_bench [--changes N] [--model-dir DIR]
//
// With --model-dir (a directory made by tests/reference/make_models.py), every tenth voice change
// goes to the neural voice voice_sine, so that switching away from it meets a running worker.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "app/neural_voices.h"
#include "engine/audio_path.h"
#include "engine/dsp_voice_model.h"
#include "unit/allocation_count.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFrames = 480;
const char* const kPresets[] = {"roboter", "daemon", "tief",  "chipmunk", "yuki",
                                "lena",    "funk",   "radio", "studio",   "asmr",
                                "alien",   "cyborg", "echo",  "original"};
const char* const kParams[] = {"pitch", "pitch_ratio", "formant", "ringmod", "bandpass",
                               "drive", "echo",        "reverb",  "gain"};

struct Figures {
    std::vector<double> blockUs;
    void print(const char* what) {
        if (blockUs.empty()) return;
        std::sort(blockUs.begin(), blockUs.end());
        double sum = 0.0;
        for (double us : blockUs) sum += us;
        std::printf("%-24s %6zu blocks: mean %7.1f us, p99 %7.1f us, max %8.1f us\n", what,
                    blockUs.size(), sum / blockUs.size(), blockUs[blockUs.size() * 99 / 100],
                    blockUs.back());
    }
};

}  // namespace

int main(int argc, char** argv) {
    int changes = 1000;
    std::string modelDir;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--changes") == 0) changes = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--model-dir") == 0) modelDir = argv[i + 1];
    }
    AudioPath path(std::make_unique<DspVoiceModel>());
    for (const auto output : {AudioPath::kMonitor, AudioPath::kCable}) {
        path.openOutput(output);
        path.setOutputFormat(output, {48000, 2, 10.0, 480});
    }
    path.setMonitor(true);
    path.begin(2, 48000, 10.0, [] {
        return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
    });
    const OnnxVoices neuralVoices;
    std::string err;
    // What the engine does on set_voice: load beside the sounding voice, then swap.
    const auto setVoice = [&](const std::string& name) {
        std::unique_ptr<VoiceModel> next;
        if (neuralVoices.isVoice(modelDir, name)) {
            next = neuralVoices.load(modelDir, name, 2, 48000.0f, err);
        } else {
            next = std::make_unique<DspVoiceModel>();
            next->init(2, 48000.0f);
            if (!next->load(name, err)) next.reset();
        }
        if (!next) return false;
        path.swapVoice(std::move(next));  // the old voice ends here, on this thread
        return true;
    };

    std::atomic<int> phase{0};  // 0 idle, 1 storm, 2 done
    Figures idle, storm;
    std::thread capture([&] {
        std::vector<float> block(2 * kFrames), drained(2 * kFrames);
        double t = 0.0;
        auto next = Clock::now();
        while (phase != 2) {
            for (int i = 0; i < kFrames; ++i, t += 1.0 / 48000) {
                block[2 * i] = block[2 * i + 1] =
                    static_cast<float>(0.3 * std::sin(2 * M_PI * 220 * t));
            }
            const int now = phase;
            t_countAllocations = now == 1;
            const auto t0 = Clock::now();
            path.capture(block.data(), kFrames);
            const double us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
            t_countAllocations = false;
            (now == 0 ? idle : storm).blockUs.push_back(us);
            path.render(AudioPath::kMonitor, drained.data(), kFrames, 2, 0);
            path.render(AudioPath::kCable, drained.data(), kFrames, 2, 0);
            next += std::chrono::milliseconds(10);
            std::this_thread::sleep_until(next);
        }
    });

    std::this_thread::sleep_for(std::chrono::seconds(2));
    phase = 1;
    int neural = 0, failed = 0;
    for (int n = 0; n < changes; ++n) {
        bool ok;
        if (n % 2 == 0) {
            const bool toNeural = !modelDir.empty() && n % 20 == 0;
            ok = setVoice(toNeural ? "voice_sine" : kPresets[(n / 2) % 14]);
            neural += toNeural && ok;
        } else {
            const char* name = kParams[(n / 2) % 9];
            ok = path.setParam(name, std::string(name) == "bandpass" ? 1000.0 : 0.5, err);
        }
        failed += !ok;
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    phase = 2;
    capture.join();
    path.end();

    std::printf("%d changes (%d to a neural voice, %d refused)\n", changes, neural, failed);
    idle.print("idle");
    storm.print("during the changes");
    std::printf("allocations on the capture thread during the changes: %ld\n",
                g_allocations.load());
    return 0;
}

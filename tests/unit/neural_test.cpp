// The streaming voice model and the engine's neural voices on the networks of
// tests/reference/make_models.py, which the test run writes to KW_TEST_MODEL_DIR first; chunk
// conversion is followed through --selftest end to end.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/audio_path.h"
#include "engine/dsp_voice_model.h"
#include "rvc/onnx_rvc_model.h"
#include "rvc/rvc_converter.h"
#include "unit/allocation_count.h"

namespace {

namespace fs = std::filesystem;

// The chunk length the next voice loads with; null for the default.
void setChunkMs(const char* ms) {
#ifdef _WIN32
    _putenv_s("KW_RVC_CHUNK_MS", ms ? ms : "");  // empty removes it
#else
    if (ms) {
        setenv("KW_RVC_CHUNK_MS", ms, 1);
    } else {
        unsetenv("KW_RVC_CHUNK_MS");
    }
#endif
}

class Neural : public ::testing::Test {
  protected:
    static std::unique_ptr<OnnxRvcModel> loaded(int channels, float rate, const char* voice) {
        auto model = std::make_unique<OnnxRvcModel>(dir_.string());
        model->init(channels, rate);
        std::string err;
        EXPECT_TRUE(model->load(voice, err)) << err;
        return model;
    }

    static inline const fs::path dir_ = KW_TEST_MODEL_DIR;
};

// voice_level sings the mean input level of each content frame and fails on a level above 0.9.
// The worker's step is driven by hand after every block of 400 frames at 40 kHz, starting a
// little late, so that the output ring never runs dry and the stream is exact. The input is a slow
// ramp (its value tells the time it was captured), left and right around it; one chunk is too loud
// and fails.
TEST_F(Neural, StreamJoinsChunksInOrderAndAFailedChunkIsSilence) {
    constexpr int kChunk = 3200, kFrames = kChunk / 160, kOut = kChunk * 5 / 2, kBlock = 400;
    constexpr double kStart = 0.1, kSlope = 7.5e-6;  // per sample at 40 kHz
    setChunkMs("200");
    const auto model = loaded(2, 40000.0f, "voice_level");
    setChunkMs(nullptr);
    model->stopWorker();
    const auto level = [](int n) {
        return n >= 4 * kOut && n < 5 * kOut ? 0.95 : kStart + kSlope * n;
    };

    std::vector<float> out;
    for (int block = 0; block < 10 * kOut / kBlock; ++block) {
        std::vector<float> x(2 * kBlock);
        for (int i = 0; i < kBlock; ++i) {
            x[2 * i] = static_cast<float>(level(block * kBlock + i) + 0.05);
            x[2 * i + 1] = static_cast<float>(level(block * kBlock + i) - 0.05);
        }
        const bool priming = model->figures().chunksDone == 0;
        std::vector<float> y = x;
        model->process(y.data(), kBlock);
        for (int i = 0; i < kBlock && !priming; ++i) {
            ASSERT_EQ(y[2 * i], y[2 * i + 1]);
            out.push_back(y[2 * i]);
        }
        if (priming) {
            ASSERT_EQ(y, x);  // the captured signal passes until the first chunk
        }
        while (block > 25 && model->convertAvailableChunk()) {
        }
    }
    // Frame t of chunk k holds the mean of its content frame, which covers 320 samples at 16 kHz
    // from k * chunk + 320 * (t / 2); the failed chunk is silence.
    const auto sung = [](int k, int t) {
        return k == 4 ? 0.0 : kStart + kSlope * 2.5 * (k * kChunk + 320 * (t / 2) + 159.5);
    };
    ASSERT_GT(out.size(), 7u * kOut);
    for (int k = 1; k < 7; ++k) {
        for (int j : {100, 200, 300}) {  // cross-faded from the last frame of the previous chunk
            if (k == 4 || k == 5) continue;  // next to the loud stretch the levels are smeared
            const double a = j / 400.0;
            EXPECT_NEAR(out[k * kOut + j], a * sung(k, 0) + (1 - a) * sung(k - 1, kFrames - 1),
                        2e-5)
                << "chunk " << k << " sample " << j;
        }
        for (int t = 1; t < kFrames; ++t) {
            if ((k == 3 && t >= kFrames - 2) || (k == 5 && t < 2)) continue;
            EXPECT_NEAR(out[k * kOut + 400 * t + 200], sung(k, t), 2e-5)
                << "chunk " << k << " frame " << t;
        }
    }
}

// At the common device rates the voice converts, and its latency counts the chunk, the
// look-ahead, both rings and the last conversion's time.
TEST_F(Neural, RatesLatencyAndPitch) {
    for (const float rate : {44100.0f, 22050.0f, 96000.0f, 48000.0f}) {
        const auto model = loaded(1, rate, "voice_sine");
        model->stopWorker();
        std::vector<float> block(1024, 0.1f);
        for (int i = 0; i < 1.1 * rate / 1024; ++i) model->process(block.data(), 1024);
        ASSERT_TRUE(model->convertAvailableChunk()) << rate;
        const OnnxRvcModel::Figures f = model->figures();
        EXPECT_GT(f.lastChunkMs, 0.0);
        EXPECT_EQ(model->latencySamples(),
                  static_cast<int>((f.inputQueued + 16000 + 320) * rate / 16000 + f.outputQueued +
                                   f.lastChunkMs * 0.001 * rate))
            << rate;
    }
    // The voice's own shift (its pitch file) and the user's, clamped to +-12 semitones, stack.
    std::ofstream(dir_ / "voice_sine.semitones") << "+12\n";
    const auto model = loaded(1, 48000.0f, "voice_sine");
    fs::remove(dir_ / "voice_sine.semitones");
    std::string err;
    for (const auto& [semitones, factor] :
         {std::pair{0.0, 2.0f}, {12.0, 4.0f}, {20.0, 4.0f}, {-12.0, 1.0f}, {-15.0, 1.0f}}) {
        ASSERT_TRUE(model->setParam("pitch", semitones, err));
        EXPECT_FLOAT_EQ(model->pitchFactor(), factor) << semitones;
    }
    EXPECT_FALSE(model->setParam("reverb", 0.3, err));  // the engine's effects take that
    EXPECT_EQ(err, "");
}

// In the engine's audio path the voice takes blocks without allocating while its worker converts,
// and the switch away from it in the middle of a conversion leaves the capture thread running.
TEST_F(Neural, TheCaptureThreadNeitherAllocatesNorWaitsOnANeuralVoice) {
    setChunkMs("200");
    auto voice = loaded(2, 48000.0f, "voice_sine");
    setChunkMs(nullptr);
    const OnnxRvcModel& neural = *voice;
    AudioPath path(std::move(voice));
    path.openOutput(AudioPath::kCable);
    path.setOutputFormat(AudioPath::kCable, {48000, 2, 10.0, 480});
    path.begin(2, 48000, 10.0, [] { return 0.0; });  // the outputs' pace does not matter here
    std::atomic<bool> done{false};
    std::atomic<int> blocks{0};
    std::thread capture([&] {  // five times faster than real time: the worker never idles
        std::vector<float> in(960, 0.1f), out(960);
        for (; !done; ++blocks) {
            t_countAllocations = true;
            path.capture(in.data(), 480);
            t_countAllocations = false;
            path.render(AudioPath::kCable, out.data(), 480, 2, 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    for (int ms = 0; ms < 20000 && neural.figures().chunksDone < 3; ++ms) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_GE(neural.figures().chunksDone, 3);
    auto preset = std::make_unique<DspVoiceModel>();
    preset->init(2, 48000.0f);
    std::unique_ptr<VoiceModel> retired = path.swapVoice(std::move(preset));
    const int before = blocks;
    retired.reset();  // joins the worker
    for (int ms = 0; ms < 2000 && blocks < before + 3; ++ms) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    done = true;
    capture.join();
    path.end();
    EXPECT_GE(blocks, before + 3);
    EXPECT_EQ(g_allocations, 0);
}

}  // namespace

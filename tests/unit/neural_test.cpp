// The streaming voice model and the engine's neural voices on the networks of
// tests/reference/make_models.py; chunk conversion is followed through --selftest end to end.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "rvc/onnx_rvc_model.h"
#include "rvc/rvc_converter.h"

namespace {

namespace fs = std::filesystem;

class Neural : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = fs::temp_directory_path() / ("kw_neural_" + std::to_string(::getpid()));
        const std::string cmd = std::string(KW_PYTHON) + " " + KW_REFERENCE_DIR +
                                "/make_models.py " + dir_.string() +
                                " hubert_v2 rmvpe voice_level voice_sine";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    }
    static void TearDownTestSuite() { fs::remove_all(dir_); }

    static std::unique_ptr<OnnxRvcModel> loaded(int channels, float rate, const char* voice) {
        auto model = std::make_unique<OnnxRvcModel>();
        model->modelDir = dir_.string();
        model->init(channels, rate);
        std::string err;
        EXPECT_TRUE(model->load(voice, err)) << err;
        return model;
    }

    static fs::path dir_;
};

fs::path Neural::dir_;

// voice_level sings the mean input level of each content frame and fails on a level above 0.9.
// The worker's step is driven by hand after every block of 400 frames at 40 kHz, starting a
// little late, so that the output ring never runs dry and the stream is exact. The input is a slow
// ramp (its value tells the time it was captured), left and right around it; one chunk is too loud
// and fails.
TEST_F(Neural, StreamJoinsChunksInOrderAndAFailedChunkIsSilence) {
    constexpr int kChunk = 3200, kFrames = kChunk / 160, kOut = kChunk * 5 / 2, kBlock = 400;
    constexpr double kStart = 0.1, kSlope = 7.5e-6;  // per sample at 40 kHz
    setenv("KW_RVC_CHUNK_MS", "200", 1);
    const auto model = loaded(2, 40000.0f, "voice_level");
    unsetenv("KW_RVC_CHUNK_MS");
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
        const bool priming = model->chunksDone == 0;
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

TEST_F(Neural, RatesPitchAndLatency) {
    for (const float rate : {44100.0f, 22050.0f, 96000.0f}) {
        EXPECT_TRUE(loaded(2, rate, "voice_sine")->running) << rate;  // the worker runs
    }
    const auto model = loaded(1, 48000.0f, "voice_sine");
    EXPECT_EQ(model->current(), (dir_ / "voice_sine.onnx").string());
    for (const auto& [semitones, base, factor] : {std::tuple{20.0f, 1.0f, 2.0f},
                                                  {12.0f, 2.0f, 4.0f},
                                                  {-15.0f, 2.0f, 1.0f},
                                                  {-3.0f, 0.04f, 1.0f}}) {
        model->baseFactor = base;
        model->setPitchSemitones(semitones);
        EXPECT_FLOAT_EQ(model->converter.pitchFactor, factor) << semitones << " " << base;
    }
    model->stopWorker();
    model->lastChunkMs = 250.0;
    EXPECT_EQ(model->latencySamples(), (16000 + 320) * 3 + 12000);
}

TEST_F(Neural, TheEngineRoutesPitchToTheVoiceAndEffectsAfterIt) {
    Engine engine;
    engine.modelDir = dir_.string();
    std::string err;
    ASSERT_TRUE(engine.setVoice("voice_sine", err)) << err;
    auto& voice = dynamic_cast<OnnxRvcModel&>(*engine.model);
    ASSERT_TRUE(engine.setParam("pitch", 12, err));
    EXPECT_FLOAT_EQ(voice.converter.pitchFactor, 2.0f);
    ASSERT_TRUE(engine.setParam("reverb", 0.3, err));
    EXPECT_EQ(engine.postChain.params().reverbMix, 0.3f);
    EXPECT_EQ(engine.postChain.params().pitchRatio, 1.0f);
}

}  // namespace

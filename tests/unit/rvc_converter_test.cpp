// The neural path's own arithmetic, and the streaming voice model on generated networks.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "rvc/onnx_rvc_model.h"
#include "rvc/rvc_converter.h"

namespace {

namespace fs = std::filesystem;

TEST(ChunkSize, WholeTwentyMillisecondStepsWithinLimits) {
    EXPECT_EQ(chunkSamplesForMs(-5), 640);
    EXPECT_EQ(chunkSamplesForMs(39), 640);
    EXPECT_EQ(chunkSamplesForMs(40), 640);
    EXPECT_EQ(chunkSamplesForMs(55), 640);  // truncated to 40 ms
    EXPECT_EQ(chunkSamplesForMs(85), 1280);
    EXPECT_EQ(chunkSamplesForMs(1000), 16000);
    EXPECT_EQ(chunkSamplesForMs(4000), 64000);
    EXPECT_EQ(chunkSamplesForMs(4001), 64000);
}

TEST(PitchDecoding, VoicingThresholdWindowAndCoarsePitch) {
    std::vector<float> s(360, 0.0f);
    s[100] = 0.03f;
    EXPECT_EQ(rmvpeDecodeFrame(s.data()), 0.0f);
    s[100] = 0.0301f;
    EXPECT_NEAR(rmvpeDecodeFrame(s.data()), 10.0 * std::exp2((1997.3794 + 2000.0) / 1200.0), 1e-3);
    // A peak at the edge averages only the bins that exist.
    std::vector<float> edge(360, 0.0f);
    edge[0] = 0.5f;
    edge[4] = 0.5f;
    edge[5] = 0.4f;  // outside the window of bin 0
    const double cents = (0.5 * 1997.3794 + 0.5 * (1997.3794 + 80.0)) / 1.0;
    EXPECT_NEAR(rmvpeDecodeFrame(edge.data()), 10.0 * std::exp2(cents / 1200.0), 1e-3);

    EXPECT_EQ(coarsePitch(0.0f), 1);
    EXPECT_EQ(coarsePitch(50.0f), 1);
    EXPECT_EQ(coarsePitch(1100.0f), 255);
    EXPECT_EQ(coarsePitch(5000.0f), 255);
    const double mel = 1127.0 * std::log(1.0 + 200.0 / 700.0);
    EXPECT_EQ(coarsePitch(200.0f), std::nearbyint((mel - 77.75493) * 254.0 / 986.65326 + 1.0));
}

// A model directory with the generated base networks and voices.
class StreamingModel : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = fs::temp_directory_path() / ("kw_rvc_" + std::to_string(::getpid()));
        fs::create_directories(dir_);
        const std::string cmd = std::string(KW_PYTHON) + " " + KW_REFERENCE_DIR +
                                "/make_rvc_models.py " + dir_.string() +
                                " --only hubert_v2 rmvpe voice_sine voice_echo voice_fails";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
    static void TearDownTestSuite() { fs::remove_all(dir_); }

    std::unique_ptr<OnnxRvcModel> loaded(int channels, float rate,
                                         const char* voice = "voice_sine") {
        auto model = std::make_unique<OnnxRvcModel>();
        model->modelDir = dir_.string();
        model->init(channels, rate);
        std::string err;
        EXPECT_TRUE(model->load(voice, err)) << err;
        return model;
    }

    // Feeds a loud stereo tone in real time until the first converted chunk comes back; returns
    // that block.
    static std::vector<float> firstConverted(OnnxRvcModel& model) {
        std::vector<float> block(960);
        for (size_t i = 0; i < block.size(); ++i) block[i] = 0.5f * std::sin(0.06f * (i / 2));
        std::vector<float> copy;
        for (int i = 0; i < 600; ++i) {
            copy = block;
            model.process(copy.data(), 480);
            if (model.chunksDone > 0) return copy;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ADD_FAILURE() << "no chunk converted";
        return {};
    }

    static fs::path dir_;
};

fs::path StreamingModel::dir_;

TEST_F(StreamingModel, PassesThroughUntilTheFirstChunkThenSingsOnEveryChannel) {
    auto model = loaded(2, 48000.0f);
    EXPECT_EQ(model->kind(), "rvc-onnx");
    EXPECT_EQ(model->current(), (dir_ / "voice_sine.onnx").string());
    std::vector<float> block(960, 0.25f);
    std::vector<float> copy = block;
    model->process(copy.data(), 480);
    EXPECT_EQ(copy, block);  // priming: untouched

    const std::vector<float> sung = firstConverted(*model);
    ASSERT_EQ(sung.size(), 960u);
    for (int f = 0; f < 480; ++f) EXPECT_EQ(sung[2 * f], sung[2 * f + 1]);
}

TEST_F(StreamingModel, AFailingChunkBecomesSilenceAndTheStreamGoesOn) {
    auto model = loaded(2, 48000.0f, "voice_fails");  // fails on voiced input
    const std::vector<float> out = firstConverted(*model);
    EXPECT_EQ(out, std::vector<float>(960, 0.0f));
    const int done = model->chunksDone;
    std::vector<float> block(960, 0.0f);
    for (int i = 0; i < 400 && model->chunksDone == done; ++i) {
        model->process(block.data(), 480);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_GT(model->chunksDone, done);
}

TEST_F(StreamingModel, LatencyCountsChunkLookAheadRingsAndConversionTime) {
    auto model = loaded(2, 48000.0f);
    model->stopWorker();
    model->lastChunkMs = 250.0;
    EXPECT_EQ(model->latencySamples(), (16000 + 320) * 3 + 12000);
}

TEST_F(StreamingModel, PitchShiftIsClampedAndStacksOnTheVoicesOwn) {
    auto model = loaded(1, 48000.0f);
    model->setPitchSemitones(20.0f);
    EXPECT_EQ(model->semitones, 12.0f);
    EXPECT_FLOAT_EQ(model->converter.pitchFactor, 2.0f);
    model->baseFactor = 2.0f;
    model->setPitchSemitones(12.0f);
    EXPECT_FLOAT_EQ(model->converter.pitchFactor, 4.0f);
    model->setPitchSemitones(-15.0f);
    EXPECT_EQ(model->semitones, -12.0f);
    EXPECT_FLOAT_EQ(model->converter.pitchFactor, 1.0f);
}

TEST_F(StreamingModel, WorksAtCommonDeviceRates) {
    for (const float rate : {44100.0f, 22050.0f, 96000.0f}) {
        auto model = loaded(2, rate);
        EXPECT_TRUE(model->inResampler && model->outResampler) << rate;
        EXPECT_TRUE(model->running) << rate;
    }
}

TEST_F(StreamingModel, PathsAndNamesResolveIntoTheModelDirectory) {
    OnnxRvcModel model;
    model.modelDir = dir_.string();
    model.init(2, 48000.0f);
    std::string err;
    ASSERT_TRUE(model.load("voice_echo.onnx", err)) << err;
    EXPECT_EQ(model.current(), (dir_ / "voice_echo.onnx").string());
    ASSERT_TRUE(model.load((dir_ / "voice_sine.onnx").string(), err)) << err;
    EXPECT_EQ(model.current(), (dir_ / "voice_sine.onnx").string());
    EXPECT_FALSE(model.load((dir_ / "voice_sine").string(), err));  // a path gets no suffix
    EXPECT_FALSE(model.voiceReady);
    EXPECT_EQ(model.latencySamples(), 0);
}

}  // namespace

// The engine's capture path, rings and voice control, without devices: the rings are
// attached by hand, as start would.
#include "engine/engine.h"

#include <gtest/gtest.h>

#include <thread>

#include "engine/dsp_voice_model.h"

namespace {

std::vector<float> drain(RingBuffer& ring) {
    std::vector<float> out(ring.fill());
    ring.read(out.data(), out.size());
    return out;
}

TEST(RingBuffer, HoldsOneLessThanItsCapacityAndWraps) {
    RingBuffer ring;
    std::vector<float> block(400000, 1.0f);
    EXPECT_EQ(ring.write(block.data(), block.size()), 400000u);
    EXPECT_EQ(ring.write(block.data(), block.size()), RingBuffer::kCapacity - 1 - 400000);
    EXPECT_EQ(ring.fill(), RingBuffer::kCapacity - 1);

    std::vector<float> out(960, -1.0f);
    EXPECT_EQ(ring.read(out.data(), 960), 960u);
    EXPECT_EQ(ring.trimTo(500), RingBuffer::kCapacity - 1 - 960 - 500);
    EXPECT_EQ(ring.read(out.data(), 960), 500u);  // a 480-frame stereo request gets 250 frames
    EXPECT_EQ(ring.fill(), 0u);

    for (int round = 0; round < 5; ++round) {  // across the wrap point
        std::vector<float> ramp(300000);
        for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<float>(i + round);
        ASSERT_EQ(ring.write(ramp.data(), ramp.size()), ramp.size());
        EXPECT_EQ(drain(ring), ramp);
    }
}

TEST(RingBuffer, OneProducerAndOneConsumerSeeEverySampleInOrder) {
    RingBuffer ring;
    constexpr int kTotal = 2000000;
    std::thread producer([&] {
        float next = 0.0f;
        std::vector<float> block(333);
        for (int sent = 0; sent < kTotal;) {
            const int n = std::min<int>(333, kTotal - sent);
            for (int i = 0; i < n; ++i) block[i] = next + static_cast<float>(i);
            const size_t k = ring.write(block.data(), n);
            sent += static_cast<int>(k);
            next += static_cast<float>(k);
            if (k < static_cast<size_t>(n)) std::this_thread::yield();
        }
    });
    std::vector<float> buf(480);
    bool inOrder = true;
    for (int expected = 0; expected < kTotal;) {
        const size_t k = ring.read(buf.data(), buf.size());
        for (size_t i = 0; i < k; ++i)
            inOrder &= buf[i] == static_cast<float>(expected++ % 16777216);
        if (!k) std::this_thread::yield();
    }
    producer.join();
    EXPECT_TRUE(inOrder);
}

class CapturePath : public ::testing::Test {
  protected:
    void SetUp() override {
        engine.cableRing = std::make_unique<RingBuffer>();
        engine.monitorRing = std::make_unique<RingBuffer>();
        engine.running = true;
    }
    void TearDown() override { engine.running = false; }

    // One stereo block of 480 frames with the value v.
    void capture(float v, int frames = 480) {
        std::vector<float> in(static_cast<size_t>(frames) * 2, v);
        engine.onCapture(in.data(), frames);
    }

    Engine engine;
};

TEST_F(CapturePath, VoiceGoesToTheCableAndToTheMonitorOnlyWhenMonitoring) {
    capture(0.25f);
    EXPECT_EQ(drain(*engine.cableRing), std::vector<float>(960, 0.25f));
    EXPECT_EQ(drain(*engine.monitorRing), std::vector<float>(960, 0.0f));
    engine.monitorGain = 1.0f;
    capture(0.25f);
    EXPECT_EQ(drain(*engine.monitorRing), std::vector<float>(960, 0.25f));
    EXPECT_FLOAT_EQ(engine.level, 0.25f);
}

TEST_F(CapturePath, OversizedAndEmptyBlocksChangeNothing) {
    capture(0.5f, 0);
    capture(0.5f, Engine::kMaxBlockFrames + 1);
    EXPECT_EQ(engine.cableRing->fill(), 0u);
    EXPECT_EQ(engine.level, 0.0f);
    capture(0.5f, Engine::kMaxBlockFrames);
    EXPECT_EQ(engine.cableRing->fill(), 2u * Engine::kMaxBlockFrames);
}

TEST_F(CapturePath, MuteSilencesTheVoiceAndTheLevelDecays) {
    capture(0.5f);
    engine.muted = true;
    capture(0.5f);
    capture(0.5f);
    EXPECT_FLOAT_EQ(engine.level, 0.5f * 0.92f * 0.92f);
    const auto cable = drain(*engine.cableRing);
    EXPECT_EQ(std::vector<float>(cable.begin() + 960, cable.end()), std::vector<float>(1920, 0.0f));
}

TEST_F(CapturePath, SoundboardClipPlaysAcrossBlocksAtItsVolume) {
    engine.sbVol = 0.5f;
    engine.sbPlay(std::vector<float>(1000, 0.8f));
    EXPECT_TRUE(engine.sbPlaying());
    capture(0.7f);
    capture(0.7f);
    EXPECT_FALSE(engine.sbPlaying());

    const auto cable = drain(*engine.cableRing);
    const auto monitor = drain(*engine.monitorRing);
    ASSERT_EQ(cable.size(), 1920u);
    for (size_t i = 0; i < cable.size(); ++i) {
        const bool clip = i < 960 || (i >= 960 && i < 1000);
        EXPECT_FLOAT_EQ(cable[i], clip ? 1.0f : 0.7f) << i;    // voice + clip, clamped to 1
        EXPECT_FLOAT_EQ(monitor[i], clip ? 0.4f : 0.0f) << i;  // the clip alone
    }
}

TEST_F(CapturePath, OutputGainIsNotLimitedWithoutAClip) {
    engine.outputGain = 2.0f;
    capture(0.75f);
    EXPECT_EQ(drain(*engine.cableRing), std::vector<float>(960, 1.5f));
}

TEST(EngineFigures, LatencyOfAFreshEngine) {
    Engine engine;
    EXPECT_DOUBLE_EQ(engine.latencyMs(), 20.0);
    EXPECT_EQ(engine.underruns(), 0u);
    std::string err;
    ASSERT_TRUE(engine.setVoice("daemon", err));
    EXPECT_DOUBLE_EQ(engine.latencyMs(), 20.0 + 896 * 1000.0 / 48000);
}

TEST(VoiceControl, PresetsReuseTheDspModelAndUnknownNamesChangeNothing) {
    Engine engine;
    VoiceModel* first = engine.model.get();
    engine.channels = 1;
    std::string err;
    ASSERT_TRUE(engine.setVoice("roboter", err));
    EXPECT_EQ(engine.model.get(), first);
    EXPECT_EQ(static_cast<DspVoiceModel*>(first)->chain.channels(), 1);  // init ran again
    EXPECT_EQ(engine.voiceName, "roboter");

    EXPECT_FALSE(engine.setVoice("Roboter", err));
    EXPECT_EQ(err, "unbekannte Stimme: Roboter (weder RVC-Modell noch DSP-Preset)");
    EXPECT_EQ(engine.voiceName, "roboter");
    EXPECT_EQ(engine.model->current(), "roboter");
}

TEST(VoiceControl, ParametersMapOntoTheChainRecord) {
    struct Case {
        const char* name;
        double value;
        DspParams expected;
    };
    auto with = [](auto change) {
        DspParams p;
        change(p);
        return p;
    };
    const Case cases[] = {
        {"pitch", 12, with([](DspParams& p) { p.pitchRatio = 2.0f; })},
        {"pitch", -12, with([](DspParams& p) { p.pitchRatio = 0.5f; })},
        {"pitch_ratio", 1.3, with([](DspParams& p) { p.pitchRatio = 1.3f; })},
        {"formant", -3, with([](DspParams& p) { p.formant = -3.0f; })},
        {"ringmod", 0.01, with([](DspParams& p) { p.ringHz = 0.01f; })},
        {"ringmod", 0.02, with([](DspParams& p) { p.ringHz = 0.02f, p.ringMix = 0.85f; })},
        {"bandpass", 99, DspParams{}},
        {"bandpass", 100, with([](DspParams& p) { p.highpassHz = 40, p.lowpassHz = 400; })},
        {"bandpass", 1000, with([](DspParams& p) { p.highpassHz = 400, p.lowpassHz = 2500; })},
        {"bandpass", 20000, with([](DspParams& p) { p.highpassHz = 3200, p.lowpassHz = 16000; })},
        {"drive", 2, with([](DspParams& p) { p.drive = 2.0f; })},
        {"echo", 0.4, with([](DspParams& p) { p.echoMix = 0.4f; })},
        {"reverb", 0.3, with([](DspParams& p) { p.reverbMix = 0.3f; })},
    };
    for (const Case& c : cases) {
        Engine engine;
        std::string err;
        ASSERT_TRUE(engine.setParam(c.name, c.value, err)) << c.name;
        EXPECT_EQ(static_cast<DspVoiceModel&>(*engine.model).chain.params(), c.expected)
            << c.name << " " << c.value;
    }
}

TEST(VoiceControl, GainIsClampedAndUnknownNamesRefused) {
    Engine engine;
    std::string err;
    ASSERT_TRUE(engine.setParam("gain", 3, err));
    EXPECT_EQ(engine.outputGain, 2.0f);
    ASSERT_TRUE(engine.setParam("gain", -1, err));
    EXPECT_EQ(engine.outputGain, 0.0f);
    EXPECT_FALSE(engine.setParam("Pitch", 1, err));
    EXPECT_EQ(err, "unbekannter Parameter: Pitch");
    EXPECT_EQ(static_cast<DspVoiceModel&>(*engine.model).chain.params(), DspParams{});
}

}  // namespace

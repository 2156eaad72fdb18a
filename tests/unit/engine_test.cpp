// The engine's capture path, render side and voice control, without devices: the rings are
// attached by hand, as start would.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/dsp_voice_model.h"
#include "engine/engine.h"
#include "engine/render_from_ring.h"

namespace {

std::vector<float> drain(RingBuffer& ring) {
    std::vector<float> out(ring.fill());
    ring.read(out.data(), out.size());
    return out;
}

class CapturePath : public ::testing::Test {
  protected:
    void SetUp() override {
        engine.cableRing = std::make_unique<RingBuffer>();
        engine.monitorRing = std::make_unique<RingBuffer>();
        engine.running = true;
    }
    void TearDown() override { engine.running = false; }

    // One stereo block of `frames` frames with the value v.
    void capture(float v, int frames = 480) {
        std::vector<float> in(static_cast<size_t>(frames) * 2, v);
        engine.onCapture(in.data(), frames);
    }

    Engine engine;
};

TEST_F(CapturePath, VoiceMuteLevelAndGain) {
    capture(0.5f);
    capture(0.5f, 0);
    capture(0.5f, Engine::kMaxBlockFrames + 1);  // dropped, as an empty block is
    engine.muted = true;
    capture(0.5f);
    EXPECT_FLOAT_EQ(engine.level, 0.5f * 0.92f);  // muted blocks let it decay
    std::vector<float> expected(960, 0.5f);
    expected.resize(1920, 0.0f);
    EXPECT_EQ(drain(*engine.cableRing), expected);
    EXPECT_EQ(drain(*engine.monitorRing), std::vector<float>(1920, 0.0f));  // not monitoring
    engine.muted = false;
    engine.monitorGain = 1.0f;
    engine.outputGain = 2.0f;  // without a clip nothing limits the voice
    capture(0.75f);
    EXPECT_EQ(drain(*engine.monitorRing), std::vector<float>(960, 1.5f));
    EXPECT_EQ(drain(*engine.cableRing), std::vector<float>(960, 1.5f));
}

TEST_F(CapturePath, SoundboardClipPlaysAcrossBlocksAtItsVolume) {
    engine.sbVol = 0.5f;
    engine.sbPlay(std::vector<float>(1000, 0.8f));
    capture(0.7f);
    capture(0.7f);
    EXPECT_FALSE(engine.sbPlaying());
    const std::vector<float> cable = drain(*engine.cableRing), monitor = drain(*engine.monitorRing);
    ASSERT_EQ(cable.size(), 1920u);
    for (size_t i = 0; i < cable.size(); ++i) {
        ASSERT_FLOAT_EQ(cable[i], i < 1000 ? 1.0f : 0.7f) << i;    // voice + clip, limited to 1
        ASSERT_FLOAT_EQ(monitor[i], i < 1000 ? 0.4f : 0.0f) << i;  // the clip alone
    }
}

// A voice that is not a preset chain gets the engine's own effect chain after it.
TEST_F(CapturePath, EffectsApplyAfterAVoiceThatIsNoPresetChain) {
    struct Passing : VoiceModel {
        bool load(const std::string&, std::string&) override { return true; }
        void process(float*, int) override {}
        void init(int, float) override {}
        int latencySamples() const override { return 0; }
        std::string kind() const override { return "rvc-onnx"; }
        std::string current() const override { return "x"; }
    };
    engine.model = std::make_unique<Passing>();
    engine.postChain.init(2, 48000.0f);
    DspParams half;
    half.gain = 0.5f;
    engine.postChain.setParams(half);
    capture(0.4f);
    EXPECT_EQ(drain(*engine.cableRing), std::vector<float>(960, 0.2f));
}

TEST(Engine, LatencyCountsTheMonitorRingInFrames) {
    Engine engine;
    EXPECT_DOUBLE_EQ(engine.latencyMs(), 20.0);  // capture and render period
    engine.monitorRing = std::make_unique<RingBuffer>();
    const std::vector<float> tenMs(960, 0.0f);  // 480 stereo frames at 48 kHz
    engine.monitorRing->write(tenMs.data(), tenMs.size());
    EXPECT_DOUBLE_EQ(engine.latencyMs(), 30.0);
}

TEST(RenderFromRing, PlaysWholeFramesAndPadsWithSilence) {
    RingBuffer ring;
    LagWindow lag;
    uint64_t dropped = 0;
    const std::vector<float> audio(2000, 0.5f);
    std::vector<float> out(960, -1.0f);
    ring.write(audio.data(), 500);
    // 480 stereo frames asked, 500 samples held: 250 frames, the rest silence.
    EXPECT_EQ(renderFromRing(ring, lag, 2, 48000, {100000, 0}, out.data(), 480, dropped), 250);
    EXPECT_EQ(std::count(out.begin(), out.end(), 0.5f), 500);
    EXPECT_EQ(std::count(out.begin(), out.end(), 0.0f), 460);
    // Backlog beyond one request and the bound is dropped at once.
    ring.write(audio.data(), 2000);
    EXPECT_EQ(renderFromRing(ring, lag, 2, 48000, {300, 0}, out.data(), 100, dropped), 100);
    EXPECT_EQ(dropped, 750u);
    EXPECT_EQ(ring.fill(), 300u);
}

// Once a second the ring gives up what it held throughout that second beyond one request and
// the cushion; a burst that raised the fill for a moment must not count.
TEST(RenderFromRing, TrimsOnlyWhatTheRingHeldThroughoutTheSecond) {
    RingBuffer ring;
    LagWindow lag;
    uint64_t dropped = 0;
    const std::vector<float> block(600, 0.5f);
    std::vector<float> out(200);
    ring.write(block.data(), 400);           // standing surplus
    for (int call = 0; call < 10; ++call) {  // ten requests of 100 frames: one second at 1000 Hz
        ring.write(block.data(), call == 3 ? 600 : 200);
        EXPECT_EQ(renderFromRing(ring, lag, 2, 1000, {100000, 0}, out.data(), 100, dropped), 100);
    }
    // The smallest fill seen was 600 samples (before the burst); 200 of them were asked for.
    EXPECT_EQ(dropped, 200u);
    EXPECT_EQ(ring.fill(), 400u);
}

TEST(VoiceControl, ParametersMapOntoTheChainRecord) {
    const auto with = [](auto change) {
        DspParams p;
        change(p);
        return p;
    };
    const std::tuple<const char*, double, DspParams> cases[] = {
        {"pitch", -12, with([](DspParams& p) { p.pitchRatio = 0.5f; })},
        {"pitch_ratio", 1.3, with([](DspParams& p) { p.pitchRatio = 1.3f; })},
        {"formant", -3, with([](DspParams& p) { p.formant = -3.0f; })},
        {"ringmod", 0.01, with([](DspParams& p) { p.ringHz = 0.01f; })},
        {"ringmod", 0.02, with([](DspParams& p) { p.ringHz = 0.02f, p.ringMix = 0.85f; })},
        {"bandpass", 99, DspParams{}},
        {"bandpass", 100, with([](DspParams& p) { p.highpassHz = 40, p.lowpassHz = 400; })},
        {"bandpass", 1000, with([](DspParams& p) { p.highpassHz = 400, p.lowpassHz = 2500; })},
        {"bandpass", 2e4, with([](DspParams& p) { p.highpassHz = 3200, p.lowpassHz = 16000; })},
        {"drive", 2, with([](DspParams& p) { p.drive = 2.0f; })},
        {"echo", 0.4, with([](DspParams& p) { p.echoMix = 0.4f; })},
        {"reverb", 0.3, with([](DspParams& p) { p.reverbMix = 0.3f; })},
    };
    for (const auto& [name, value, expected] : cases) {
        Engine engine;
        std::string err;
        ASSERT_TRUE(engine.setParam(name, value, err)) << name;
        EXPECT_EQ(static_cast<DspVoiceModel&>(*engine.model).chain.params(), expected)
            << name << " " << value;
    }
    Engine engine;
    std::string err;
    for (const auto& [value, stored] : {std::pair{3.0, 2.0f}, {-1.0, 0.0f}, {0.7, 0.7f}}) {
        ASSERT_TRUE(engine.setParam("gain", value, err));
        EXPECT_EQ(engine.outputGain, stored);
    }
    EXPECT_FALSE(engine.setParam("Pitch", 1, err));
    EXPECT_EQ(err, "unbekannter Parameter: Pitch");
}

}  // namespace

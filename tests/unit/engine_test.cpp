// The engine's audio path without devices: blocks go in as the capture callback delivers them and
// come out as the render callbacks ask for them.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>

#include "engine/audio_path.h"
#include "engine/dsp_voice_model.h"
#include "unit/allocation_count.h"

namespace {

std::unique_ptr<VoiceModel> preset(const char* name) {
    auto voice = std::make_unique<DspVoiceModel>();
    voice->init(2, 48000.0f);
    std::string err;
    EXPECT_TRUE(voice->load(name, err)) << err;
    return voice;
}

// A voice that leaves the signal alone and hands every effect to the engine. Given the capture
// thread's block count, its end waits (2 s at most) for the capture thread to move on, as a neural
// voice's end waits for its worker; it counts the ends that saw no block go by.
struct Passing : VoiceModel {
    explicit Passing(const std::atomic<int>* captured = nullptr) : blocks(captured) {}
    ~Passing() override {
        if (!blocks) return;
        const int start = *blocks;
        for (int ms = 0; ms < 2000 && *blocks < start + 2; ++ms) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (*blocks < start + 2) ++s_stalledEnds;
    }
    bool load(const std::string&, std::string&) override { return true; }
    void init(int, float) override {}
    void process(float*, int) override {}
    int latencySamples() const override { return 0; }
    std::string kind() const override { return "passing"; }
    std::string current() const override { return ""; }
    bool setParam(const std::string&, double, std::string&) override { return false; }
    bool wantsEffectsAfter() const override { return true; }
    const std::atomic<int>* blocks;
    static inline std::atomic<int> s_stalledEnds{0};
};

class Path : public ::testing::Test {
  protected:
    explicit Path(std::unique_ptr<VoiceModel> voice = preset("original")) : path(std::move(voice)) {
        path.openOutput(AudioPath::kMonitor);
        path.openOutput(AudioPath::kCable);
        path.begin(2, 48000, 10.0);
    }

    // One stereo block of `frames` frames with the value v.
    void capture(float v, int frames = 480) {
        std::vector<float> in(static_cast<size_t>(frames) * 2, v);
        path.capture(in.data(), frames);
    }
    // What an output plays for a request of `frames` stereo frames.
    std::vector<float> play(AudioPath::Output output, int frames = 480) {
        std::vector<float> out(static_cast<size_t>(frames) * 2);
        path.render(output, out.data(), frames, 2, 48000);
        return out;
    }

    AudioPath path;
};

TEST_F(Path, VoiceMuteLevelAndGain) {
    capture(0.5f);
    capture(0.5f, 0);
    capture(0.5f, AudioPath::kMaxBlockFrames + 1);               // dropped, as an empty block is
    EXPECT_DOUBLE_EQ(path.queuedMs(AudioPath::kMonitor), 10.0);  // 480 stereo frames
    path.setMuted(true);
    capture(0.5f);
    EXPECT_FLOAT_EQ(path.level(), 0.5f * 0.92f);  // muted blocks let it decay
    std::vector<float> expected(960, 0.5f);
    expected.resize(1920, 0.0f);
    EXPECT_EQ(play(AudioPath::kCable, 960), expected);
    EXPECT_EQ(play(AudioPath::kMonitor, 960), std::vector<float>(1920, 0.0f));  // not monitoring
    path.setMuted(false);
    path.setMonitor(true);
    std::string err;
    ASSERT_TRUE(path.setParam("gain", 3.0, err));  // stored as 2; nothing limits it without a clip
    for (int i = 0; i < 3; ++i) capture(0.75f);    // the gain glides there within 10 ms
    play(AudioPath::kCable, 960);
    play(AudioPath::kMonitor, 960);
    EXPECT_EQ(play(AudioPath::kMonitor), std::vector<float>(960, 1.5f));
    EXPECT_EQ(play(AudioPath::kCable), std::vector<float>(960, 1.5f));
}

TEST_F(Path, SoundboardClipPlaysAcrossBlocksAtItsVolume) {
    path.setClipVolume(0.5f);
    path.play(std::vector<float>(1000, 0.8f));
    EXPECT_TRUE(path.clipPlaying());
    capture(0.7f);
    capture(0.7f);
    EXPECT_FALSE(path.clipPlaying());
    const std::vector<float> cable = play(AudioPath::kCable, 960),
                             monitor = play(AudioPath::kMonitor, 960);
    for (size_t i = 0; i < cable.size(); ++i) {
        ASSERT_FLOAT_EQ(cable[i], i < 1000 ? 1.0f : 0.7f) << i;    // voice + clip, limited to 1
        ASSERT_FLOAT_EQ(monitor[i], i < 1000 ? 0.4f : 0.0f) << i;  // the clip alone
    }
}

class AfterAVoice : public Path {
  protected:
    AfterAVoice() : Path(std::make_unique<Passing>()) {}
};

// Parameters a voice does not take go to the engine's effects after it, and they are heard.
TEST_F(AfterAVoice, EffectsApplyToWhatTheVoiceGives) {
    std::string err;
    ASSERT_TRUE(path.setParam("drive", 2.0, err));
    EXPECT_FALSE(path.setParam("Drive", 2.0, err));
    EXPECT_EQ(err, "unbekannter Parameter: Drive");
    capture(0.4f);
    for (float v : play(AudioPath::kCable)) ASSERT_NEAR(v, std::tanh(0.8f), 1e-6f);
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

TEST(DspParam, NamesMapOntoTheRecord) {
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
        DspParams p;
        std::string err;
        ASSERT_TRUE(applyDspParam(p, name, value, err)) << name;
        EXPECT_EQ(p, expected) << name << " " << value;
    }
}

TEST(DspVoice, AnUnknownPresetLeavesTheOneSounding) {
    DspVoiceModel voice;
    std::string err;
    EXPECT_EQ(voice.current(), "original");
    ASSERT_TRUE(voice.load("daemon", err));
    EXPECT_FALSE(voice.load("Daemon", err));
    EXPECT_EQ(err, "unbekanntes Preset: Daemon");
    EXPECT_EQ(voice.current(), "daemon");
}

// The capture thread neither allocates nor waits while the command thread switches voices (some of
// them slow to end), moves every parameter and plays clips.
TEST(RealTime, TheCaptureThreadNeverAllocatesNorWaits) {
    AudioPath path(preset("original"));
    path.openOutput(AudioPath::kCable);
    path.begin(2, 48000, 10.0);
    std::atomic<bool> done{false};
    std::atomic<int> blocks{0};
    std::thread capture([&] {
        std::vector<float> in(960), out(960);
        for (; !done; ++blocks) {
            for (size_t i = 0; i < in.size(); ++i) in[i] = 0.3f * std::sin(0.05f * (i + blocks));
            t_countAllocations = true;
            path.capture(in.data(), 480);
            t_countAllocations = false;
            path.render(AudioPath::kCable, out.data(), 480, 2, 48000);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    const char* const presets[] = {"daemon", "roboter", "echo", "asmr", "chipmunk", "alien"};
    const char* const params[] = {"pitch", "pitch_ratio", "formant", "ringmod", "bandpass",
                                  "drive", "echo",        "reverb",  "gain"};
    std::string err;
    for (int round = 0; round < 12; ++round) {
        path.swapVoice(round % 3 ? preset(presets[round % 6]) : std::make_unique<Passing>(&blocks));
        for (const char* name : params) ASSERT_TRUE(path.setParam(name, 0.3 * round, err)) << name;
        path.play(std::vector<float>(4800, 0.1f));
        const int seen = blocks;  // a few blocks with each voice, however fast this machine is
        for (int ms = 0; ms < 2000 && blocks < seen + 3; ++ms) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    path.swapVoice(preset("original"));
    done = true;
    capture.join();
    path.end();
    EXPECT_GE(blocks, 36);
    EXPECT_EQ(g_allocations, 0);
    EXPECT_EQ(Passing::s_stalledEnds, 0);
}

}  // namespace

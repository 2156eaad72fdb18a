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

double wallClock() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

class Path : public ::testing::Test {
  protected:
    explicit Path(std::unique_ptr<VoiceModel> voice = preset("original")) : path(std::move(voice)) {
        for (const auto output : {AudioPath::kMonitor, AudioPath::kCable}) {
            path.openOutput(output);
            path.setOutputFormat(output, {48000, 2, 10.0, 960});
        }
        s_now = 0.0;
        path.begin(2, 48000, 10.0, [] { return s_now; });
    }

    // One stereo block of `frames` frames with the value v.
    void capture(float v, int frames = 480) {
        std::vector<float> in(static_cast<size_t>(frames) * 2, v);
        path.capture(in.data(), frames);
    }
    // What an output plays for a request of `frames` stereo frames.
    std::vector<float> play(AudioPath::Output output, int frames = 480) {
        std::vector<float> out(static_cast<size_t>(frames) * 2);
        path.render(output, out.data(), frames, 2, 0);
        return out;
    }
    // Both outputs once the value v has been flowing for a while: their last samples. Blocks
    // come and go every 10 ms, the outputs asking halfway between two blocks.
    std::pair<float, float> steady(float v) {
        std::vector<float> monitor, cable;
        for (int block = 0; block < 20; ++block) {
            capture(v);
            s_now += 0.005;
            monitor = play(AudioPath::kMonitor);
            cable = play(AudioPath::kCable);
            s_now += 0.005;
        }
        return {monitor.back(), cable.back()};
    }

    static inline double s_now = 0.0;
    AudioPath path;
};

TEST_F(Path, VoiceMuteLevelAndGain) {
    capture(0.5f);
    capture(0.5f, 0);
    capture(0.5f, AudioPath::kMaxBlockFrames + 1);               // dropped, as an empty block is
    EXPECT_DOUBLE_EQ(path.queuedMs(AudioPath::kMonitor), 10.0);  // 480 stereo frames
    EXPECT_FLOAT_EQ(steady(0.5f).second, 0.5f);                  // the cable carries the voice
    path.setMuted(true);
    EXPECT_EQ(steady(0.5f), std::make_pair(0.0f, 0.0f));  // the monitor only while monitoring
    EXPECT_NEAR(path.level(), 0.5f * std::pow(0.92f, 20.0f), 1e-6);  // muted blocks let it decay
    path.setMuted(false);
    path.setMonitor(true);
    std::string err;
    ASSERT_TRUE(path.setParam("gain", 3.0, err));  // stored as 2; nothing limits it without a clip
    const auto [monitor, cable] = steady(0.75f);
    EXPECT_FLOAT_EQ(monitor, 1.5f);
    EXPECT_FLOAT_EQ(cable, 1.5f);
}

TEST_F(Path, SoundboardClipPlaysAcrossBlocksAtItsVolume) {
    path.setClipVolume(0.5f);
    path.play(std::vector<float>(1000, 0.8f));  // 960 samples in the first block, 40 in the next
    EXPECT_TRUE(path.clipPlaying());
    capture(0.7f);
    EXPECT_TRUE(path.clipPlaying());
    capture(0.7f);
    EXPECT_FALSE(path.clipPlaying());
    path.play(std::vector<float>(96000, 0.8f));
    const auto [monitor, cable] = steady(0.7f);
    EXPECT_FLOAT_EQ(cable, 1.0f);    // voice and clip, limited to 1
    EXPECT_FLOAT_EQ(monitor, 0.4f);  // the clip alone
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
    EXPECT_NEAR(steady(0.4f).second, std::tanh(0.8f), 1e-6f);
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
    path.setOutputFormat(AudioPath::kCable, {48000, 2, 10.0, 480});
    path.begin(2, 48000, 10.0, wallClock);
    std::atomic<bool> done{false};
    std::atomic<int> blocks{0};
    std::thread capture([&] {
        std::vector<float> in(960), out(960);
        for (; !done; ++blocks) {
            for (size_t i = 0; i < in.size(); ++i) in[i] = 0.3f * std::sin(0.05f * (i + blocks));
            t_countAllocations = true;
            path.capture(in.data(), 480);
            t_countAllocations = false;
            path.render(AudioPath::kCable, out.data(), 480, 2, 0);
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

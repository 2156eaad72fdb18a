// The audio device layer against a real private sound server (scripts/pa_server.sh): speakers and
// the virtual cable as sinks, and a microphone fed through the sink "micfeed".
#include "audio/kw_audio.h"

#include "support/private_sound_server.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Polls until done() holds; the bound only keeps a broken build from hanging the run.
template <class Done>
bool waitFor(Done done) {
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

double msSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// Gathers what a capture stream delivers; the test looks at it while the stream runs.
class Recorder {
  public:
    // The callback for stream; reads the stream's channel count, which open sets first.
    std::function<void(const float*, int)> callbackFor(const KwCapture& stream) {
        return [this, &stream](const float* samples, int frames) {
            std::lock_guard<std::mutex> lock(mutex_);
            data_.insert(data_.end(), samples,
                         samples + static_cast<size_t>(frames) * stream.channels);
            ++blocks_;
            minFrames_ = std::min(minFrames_, frames);
            maxFrames_ = std::max(maxFrames_, frames);
            thread_ = std::this_thread::get_id();
            if (heardAt_ == Clock::time_point() &&
                std::any_of(samples, samples + frames * stream.channels,
                            [](float x) { return x != 0.0f; })) {
                heardAt_ = Clock::now();
            }
            sched_param param{};
            pthread_getschedparam(pthread_self(), &policy_, &param);
        };
    }
    std::vector<float> data() {
        std::lock_guard<std::mutex> lock(mutex_);
        return data_;
    }
    int blocks() {
        std::lock_guard<std::mutex> lock(mutex_);
        return blocks_;
    }
    // When the first block with sound arrived.
    Clock::time_point heardAt() {
        std::lock_guard<std::mutex> lock(mutex_);
        return heardAt_;
    }
    // Index of the first sample equal to value within tolerance, or -1.
    long find(float value, float tolerance = 1e-6f) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (size_t i = 0; i < data_.size(); ++i) {
            if (std::fabs(data_[i] - value) <= tolerance) return static_cast<long>(i);
        }
        return -1;
    }
    long firstNonZero() {
        std::lock_guard<std::mutex> lock(mutex_);
        for (size_t i = 0; i < data_.size(); ++i) {
            if (data_[i] != 0.0f) return static_cast<long>(i);
        }
        return -1;
    }
    std::thread::id thread() {
        std::lock_guard<std::mutex> lock(mutex_);
        return thread_;
    }
    void report(const char* what) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::printf("[ figures  ] %s: %d blocks of %d..%d frames, thread policy %s\n", what,
                    blocks_, minFrames_, maxFrames_,
                    policy_ == SCHED_FIFO ? "SCHED_FIFO" : "normal");
    }

  private:
    std::mutex mutex_;
    std::vector<float> data_;
    int blocks_ = 0;
    int minFrames_ = INT_MAX;
    int maxFrames_ = 0;
    int policy_ = SCHED_OTHER;
    std::thread::id thread_;
    Clock::time_point heardAt_;
};

// A render callback writing one constant per channel and returning full blocks.
std::function<int(float*, int)> constantSource(const KwRender& stream, float left, float right) {
    return [&stream, left, right](float* out, int frames) {
        for (int f = 0; f < frames; ++f) {
            for (int c = 0; c < stream.channels; ++c)
                out[f * stream.channels + c] = c == 0 ? left : right;
        }
        return frames;
    };
}

class KwAudioTest : public ::testing::Test {
  protected:
    void SetUp() override { useServer(""); }
    void TearDown() override { server.reset(); }

    void useServer(const std::string& options) {
        server.reset();
        server.emplace(options);
    }
    // One shell word key="device.description='text'", as pactl load-module wants it.
    static std::string describedAs(const std::string& key, const std::string& text) {
        return "'" + key + "=\"device.description='\\''" + text + "'\\''\"'";
    }
    static std::string loadModule(const std::string& arguments) {
        return runCommand("pactl load-module " + arguments);
    }
    static void unloadModuleOf(const std::string& deviceName) {
        runCommand("pactl unload-module $(pactl list short modules | awk '/(sink|source)_name=" +
                   deviceName + " / {print $1}')");
    }

    std::optional<PrivateSoundServer> server;
};

// ---- device list, resolution and cable detection -------------------------------------------

TEST_F(KwAudioTest, ListsCaptureThenRenderEndpointsWithoutMonitors) {
    const std::vector<KwDevice> devices = kwEnumerateDevices();
    const std::vector<KwDevice> expected = {
        {"mic", "Microphone", true, true},
        {"speakers", "Speakers", false, true},
        {"cable_input", "CABLE Input (VB-Audio Virtual Cable)", false, false},
        {"micfeed", "Mic Feed", false, false},
    };
    ASSERT_EQ(devices.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(devices[i].id, expected[i].id) << i;
        EXPECT_EQ(devices[i].name, expected[i].name) << i;
        EXPECT_EQ(devices[i].isCapture, expected[i].isCapture) << i;
        EXPECT_EQ(devices[i].isDefault, expected[i].isDefault) << i;
    }
}

TEST_F(KwAudioTest, ResolvesIdsAndPartsOfNamesWithinOneDirection) {
    EXPECT_EQ(kwResolveDevice("cable_input", false), "cable_input");
    EXPECT_EQ(kwResolveDevice("vb-AUDIO virtual", false), "cable_input");
    EXPECT_EQ(kwResolveDevice("MICRO", true), "mic");
    // Names of the other direction, and of monitors, are never chosen.
    EXPECT_EQ(kwResolveDevice("micro", false), "micro");
    EXPECT_EQ(kwResolveDevice("speakers", true), "speakers");
    EXPECT_EQ(kwResolveDevice("Monitor of", true), "Monitor of");
    EXPECT_EQ(kwResolveDevice("nirgends", false), "nirgends");

    // An exact id wins over a name that contains it.
    loadModule("module-null-sink sink_name=decoy " +
               describedAs("sink_properties", "Copy of cable_input"));
    EXPECT_EQ(kwResolveDevice("cable_input", false), "cable_input");
    EXPECT_EQ(kwResolveDevice("copy of CABLE", false), "decoy");
}

TEST_F(KwAudioTest, EmptyAndDefaultResolveWithoutAskingTheServer) {
    server->stop();
    for (const bool isCapture : {true, false}) {
        EXPECT_EQ(kwResolveDevice("", isCapture), "");
        EXPECT_EQ(kwResolveDevice("default", isCapture), "");
        EXPECT_THROW(kwResolveDevice("speakers", isCapture), std::runtime_error);
    }
}

TEST(KwCableName, CableInputOrVbAudioTogetherWithCable) {
    EXPECT_TRUE(kwIsCableName("CABLE Input (VB-Audio Virtual Cable)"));
    EXPECT_TRUE(kwIsCableName("Cable Input"));
    EXPECT_TRUE(kwIsCableName("VB-Audio Cable A"));
    EXPECT_TRUE(kwIsCableName("Cable B by vb-audio"));
    EXPECT_FALSE(kwIsCableName("VB-Audio Point"));
    EXPECT_FALSE(kwIsCableName("Cable-Input"));
    EXPECT_FALSE(kwIsCableName("HDMI Cable"));
    EXPECT_FALSE(kwIsCableName(""));
}

TEST(KwLower, ChangesOnlyAsciiLetters) {
    EXPECT_EQ(lower("Mikrofon ÄÖÜ (USB-2)"), "mikrofon ÄÖÜ (usb-2)");
    EXPECT_EQ(lower(""), "");
}

TEST_F(KwAudioTest, FindsTheCableAmongRenderEndpoints) {
    std::string id, name;
    ASSERT_TRUE(kwFindCable(id, name));
    EXPECT_EQ(id, "cable_input");
    EXPECT_EQ(name, "CABLE Input (VB-Audio Virtual Cable)");
}

TEST_F(KwAudioTest, NoCableFromACaptureEndpointOrWithoutServer) {
    useServer("--no-cable");
    loadModule("module-remap-source source_name=cable_output master=speakers.monitor " +
               describedAs("source_properties", "CABLE Output (VB-Audio Virtual Cable)"));
    std::string id = "id bleibt", name = "Name bleibt";
    EXPECT_FALSE(kwFindCable(id, name));
    server->stop();
    EXPECT_FALSE(kwFindCable(id, name));
    EXPECT_EQ(id, "id bleibt");
    EXPECT_EQ(name, "Name bleibt");
}

// ---- streams ---------------------------------------------------------------------------------

// Amplitude of the sine of `cycles` periods per window in channel ch of the window's frames.
double sineAmplitude(const std::vector<float>& data, size_t firstFrame, size_t frames, int channels,
                     int ch, double cycles) {
    double s = 0, c = 0;
    for (size_t i = 0; i < frames; ++i) {
        const double x = data[(firstFrame + i) * channels + ch];
        const double phase =
            2 * M_PI * cycles * static_cast<double>(i) / static_cast<double>(frames);
        s += x * std::sin(phase);
        c += x * std::cos(phase);
    }
    return 2 * std::hypot(s, c) / static_cast<double>(frames);
}

TEST_F(KwAudioTest, RenderedSignalArrivesOnTheCableMonitor) {
    // Left 750 Hz at 0.5, right 1500 Hz at 0.25: channel order and level must survive.
    constexpr double kLeftHz = 750, kRightHz = 1500;
    Recorder recorder;
    long long played = 0;
    Clock::time_point firstSound;
    std::thread::id renderThread;
    int renderMin = INT_MAX, renderMax = 0;
    KwCapture capture;
    KwRender render;
    std::string err;
    ASSERT_TRUE(capture.open("cable_input.monitor", recorder.callbackFor(capture), err)) << err;
    EXPECT_EQ(capture.sampleRate, 48000);
    EXPECT_EQ(capture.channels, 2);

    auto source = [&](float* out, int frames) {
        if (played == 0) firstSound = Clock::now();
        renderThread = std::this_thread::get_id();
        renderMin = std::min(renderMin, frames);
        renderMax = std::max(renderMax, frames);
        for (int f = 0; f < frames; ++f, ++played) {
            const double t = static_cast<double>(played) / render.sampleRate;
            out[2 * f] = static_cast<float>(0.5 * std::sin(2 * M_PI * kLeftHz * t));
            out[2 * f + 1] = static_cast<float>(0.25 * std::sin(2 * M_PI * kRightHz * t));
        }
        return frames;
    };
    ASSERT_TRUE(render.open("cable_input", source, err)) << err;
    ASSERT_EQ(render.channels, 2);

    constexpr size_t kWindow = 4800;  // 0.1 s: a whole number of cycles of both tones
    ASSERT_TRUE(waitFor([&] { return recorder.firstNonZero() >= 0; }));
    const size_t onset = static_cast<size_t>(recorder.firstNonZero()) / 2;
    ASSERT_TRUE(waitFor([&] { return recorder.data().size() / 2 >= onset + 3 * kWindow; }));
    capture.close();
    render.close();

    const std::vector<float> data = recorder.data();
    const size_t first = onset + 2 * kWindow;
    EXPECT_NEAR(sineAmplitude(data, first, kWindow, 2, 0, kLeftHz / 10), 0.5, 0.01);
    EXPECT_NEAR(sineAmplitude(data, first, kWindow, 2, 1, kRightHz / 10), 0.25, 0.01);
    EXPECT_LT(sineAmplitude(data, first, kWindow, 2, 0, kRightHz / 10), 0.01);
    EXPECT_LT(sineAmplitude(data, first, kWindow, 2, 1, kLeftHz / 10), 0.01);
    EXPECT_EQ(render.underruns, 0u);
    const double latencyMs =
        std::chrono::duration<double, std::milli>(recorder.heardAt() - firstSound).count();
    EXPECT_NE(recorder.thread(), renderThread);
    EXPECT_NE(recorder.thread(), std::this_thread::get_id());

    recorder.report("capture on cable_input.monitor");
    std::printf(
        "[ figures  ] render callbacks of %d..%d frames; periodMs capture %.2f, render %.2f\n",
        renderMin, renderMax, capture.periodMs, render.periodMs);
    std::printf("[ figures  ] first sound on the monitor %.1f ms after the first render callback\n",
                latencyMs);
}

TEST_F(KwAudioTest, ShortRenderCallbackCountsUnderrunsAndStillPlaysItsBlock) {
    Recorder recorder;
    KwCapture watch;
    std::string err;
    ASSERT_TRUE(watch.open("speakers.monitor", recorder.callbackFor(watch), err)) << err;
    KwRender render;
    auto shortSource = [&render](float* out, int frames) {
        std::fill(out, out + frames * render.channels, 0.25f);
        return 0;
    };
    ASSERT_TRUE(render.open("speakers", shortSource, err)) << err;
    EXPECT_TRUE(waitFor([&] { return render.underruns >= 5; }));
    EXPECT_TRUE(waitFor([&] { return recorder.find(0.25f) >= 0; }));
}

TEST_F(KwAudioTest, UnknownEndpointsAreReportedWithTheirId) {
    KwCapture capture;
    KwRender render;
    std::string err;
    EXPECT_FALSE(capture.open(
        "nirgends", [](const float*, int) {}, err));
    EXPECT_EQ(err, "Capture-Endpoint nicht gefunden: nirgends");
    EXPECT_FALSE(capture.open(
        "speakers", [](const float*, int) {}, err));
    EXPECT_EQ(err, "Capture-Endpoint nicht gefunden: speakers");
    EXPECT_FALSE(render.open(
        "nirgends", [](float*, int n) { return n; }, err));
    EXPECT_EQ(err, "Render-Endpoint nicht gefunden: nirgends");
    EXPECT_FALSE(render.open(
        "mic", [](float*, int n) { return n; }, err));
    EXPECT_EQ(err, "Render-Endpoint nicht gefunden: mic");
    EXPECT_FALSE(capture.impl);
    EXPECT_FALSE(render.impl);
}

TEST_F(KwAudioTest, MissingDefaultDevicesAreReportedAsStandard) {
    unloadModuleOf("micfeed");  // takes the microphone remapped from its monitor along
    unloadModuleOf("cable_input");
    unloadModuleOf("speakers");
    KwCapture capture;
    KwRender render;
    std::string err;
    EXPECT_FALSE(capture.open(
        "", [](const float*, int) {}, err));
    EXPECT_EQ(err, "Capture-Endpoint nicht gefunden: (Standard)");
    EXPECT_FALSE(render.open(
        "", [](float*, int n) { return n; }, err));
    EXPECT_EQ(err, "Render-Endpoint nicht gefunden: (Standard)");
}

TEST_F(KwAudioTest, CloseIsHarmlessWhenClosedOrRepeated) {
    KwCapture capture;
    KwRender render;
    capture.close();
    capture.close();
    render.close();
    std::string err;
    ASSERT_TRUE(render.open(
        "speakers", [](float*, int n) { return n; }, err))
        << err;
    render.close();
    render.close();
    ASSERT_TRUE(render.open(
        "speakers", [](float*, int n) { return n; }, err))
        << err;
}

TEST_F(KwAudioTest, OpenOnAnOpenStreamEndsTheOldStreamFirst) {
    Recorder first, second;
    KwCapture capture;
    std::string err;
    ASSERT_TRUE(capture.open("cable_input.monitor", first.callbackFor(capture), err)) << err;
    ASSERT_TRUE(waitFor([&] { return first.blocks() > 0; }));
    ASSERT_TRUE(capture.open("speakers.monitor", second.callbackFor(capture), err)) << err;
    const int firstBlocks = first.blocks();
    ASSERT_TRUE(waitFor([&] { return second.blocks() >= 10; }));
    EXPECT_EQ(first.blocks(), firstBlocks);
    second.report("capture on a monitor nobody plays to");
}

TEST_F(KwAudioTest, MonoMicrophoneDeliversOneChannelFromItsFeed) {
    useServer("--mono-mic");
    Recorder recorder;
    KwRender feed;
    std::string err;
    ASSERT_TRUE(feed.open("micfeed", constantSource(feed, 0.5f, 0.0f), err)) << err;
    KwCapture mic;
    ASSERT_TRUE(mic.open("", recorder.callbackFor(mic), err)) << err;  // the default: mic
    EXPECT_EQ(mic.channels, 1);
    EXPECT_EQ(mic.sampleRate, 48000);
    EXPECT_TRUE(waitFor([&] { return recorder.find(0.5f) >= 0; }));
}

// ---- a failing server ------------------------------------------------------------------------

TEST_F(KwAudioTest, SurvivesTheServerBeingKilledAndWorksAfterItsRestart) {
    Recorder recorder, again;
    KwRender feed;
    KwCapture capture;
    std::string err;
    ASSERT_TRUE(feed.open("micfeed", constantSource(feed, 0.1f, 0.1f), err)) << err;
    ASSERT_TRUE(capture.open("mic", recorder.callbackFor(capture), err)) << err;
    ASSERT_TRUE(waitFor([&] { return recorder.find(0.1f) >= 0; }));

    ASSERT_GT(server->pid(), 0);
    ASSERT_EQ(kill(server->pid(), SIGKILL), 0);
    server->stop();  // waits for its end
    const auto closing = Clock::now();
    capture.close();
    feed.close();
    std::printf("[ figures  ] closing both streams of a killed server: %.1f ms\n",
                msSince(closing));

    const std::string refused = "Verbindung zum Soundserver fehlgeschlagen: Connection refused";
    try {
        kwEnumerateDevices();
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), refused);
    }
    EXPECT_FALSE(capture.open("mic", recorder.callbackFor(capture), err));
    EXPECT_EQ(err, refused);
    EXPECT_FALSE(feed.open("", constantSource(feed, 0.2f, 0.2f), err));
    EXPECT_EQ(err, refused);

    server->start();
    ASSERT_TRUE(feed.open("micfeed", constantSource(feed, 0.2f, 0.2f), err)) << err;
    ASSERT_TRUE(capture.open("mic", again.callbackFor(capture), err)) << err;
    EXPECT_TRUE(waitFor([&] { return again.find(0.2f) >= 0; }));
}

TEST_F(KwAudioTest, SurvivesItsDeviceVanishingWithoutMovingElsewhere) {
    Recorder cableRecorder, speakersRecorder;
    KwRender render;
    KwCapture onCable, onSpeakers;
    std::string err;
    ASSERT_TRUE(onCable.open("cable_input.monitor", cableRecorder.callbackFor(onCable), err))
        << err;
    ASSERT_TRUE(onSpeakers.open("speakers.monitor", speakersRecorder.callbackFor(onSpeakers), err))
        << err;
    ASSERT_TRUE(render.open("cable_input", constantSource(render, 0.5f, 0.5f), err)) << err;
    ASSERT_TRUE(waitFor([&] { return cableRecorder.find(0.5f) >= 0; }));

    unloadModuleOf("cable_input");
    // A stream that moved to the default sink would show up on its monitor within milliseconds.
    const int watched = speakersRecorder.blocks();
    ASSERT_TRUE(waitFor([&] { return speakersRecorder.blocks() >= watched + 20; }));
    EXPECT_EQ(speakersRecorder.firstNonZero(), -1);

    const auto closing = Clock::now();
    render.close();
    onCable.close();
    std::printf("[ figures  ] closing the streams of a vanished device: %.1f ms\n",
                msSince(closing));
    ASSERT_TRUE(render.open("speakers", constantSource(render, 0.5f, 0.5f), err)) << err;
    EXPECT_TRUE(waitFor([&] { return speakersRecorder.find(0.5f) >= 0; }));
}

TEST_F(KwAudioTest, HungServerNeverBlocksForLong) {
    Recorder recorder;
    KwCapture capture;
    KwRender render;
    std::string err;
    ASSERT_TRUE(capture.open("mic", recorder.callbackFor(capture), err)) << err;
    ASSERT_TRUE(render.open("speakers", constantSource(render, 0.1f, 0.1f), err)) << err;

    ASSERT_GT(server->pid(), 0);
    ASSERT_EQ(kill(server->pid(), SIGSTOP), 0);
    struct Resume {
        PrivateSoundServer& server;
        ~Resume() { kill(server.pid(), SIGCONT); }
    } resume{*server};

    auto t = Clock::now();
    capture.close();
    render.close();
    std::printf("[ figures  ] closing both streams of a hung server: %.1f ms\n", msSince(t));
    const std::string timeout = "Verbindung zum Soundserver fehlgeschlagen: Timeout";
    t = Clock::now();
    try {
        kwEnumerateDevices();
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), timeout);
    }
    std::printf("[ figures  ] listing devices of a hung server gave up after %.0f ms\n",
                msSince(t));
    EXPECT_FALSE(render.open("speakers", constantSource(render, 0.1f, 0.1f), err));
    EXPECT_EQ(err, timeout);
}

}  // namespace

// What every audio backend must do, against a private sound server (scripts/pa_server.sh): the
// sinks speakers and cable_input, a microphone fed through the sink micfeed. A backend runs it with
// the endpoint ids it gives those devices. Audio, formats, the device list and a server that dies
// are covered through the engine (tests/e2e/test_live_engine.py).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <mutex>
#include <thread>

#include "audio/kw_audio.h"
#include "support/private_sound_server.h"

#ifndef _WIN32
#include <signal.h>
#endif

namespace {

// The private server's devices as this backend names them.
struct Endpoints {
    std::string speakers;
    std::string speakersMonitor;
    std::string cable;
    std::string cableMonitor;
    std::string mic;
};

#ifdef _WIN32
// WASAPI under Wine: endpoint ids of Wine's own making, found by friendly name. Wine lists a
// sink's monitor as a capture endpoint of its own.
Endpoints endpointsOfTheServer() {
    const std::vector<KwDevice> devices = kwEnumerateDevices();
    const auto id = [&devices](const std::string& name, bool isCapture) {
        for (const KwDevice& d : devices) {
            if (d.name == name && d.isCapture == isCapture) return d.id;
        }
        return "(nicht gelistet: " + name + ")";
    };
    const std::string cable = "CABLE Input (VB-Audio Virtual Cable)";
    return {id("Speakers", false), id("Monitor of Speakers", true), id(cable, false),
            id("Monitor of " + cable, true), id("Microphone", true)};
}
#else
Endpoints endpointsOfTheServer() {
    return {"speakers", "speakers.monitor", "cable_input", "cable_input.monitor", "mic"};
}
#endif

using Clock = std::chrono::steady_clock;

// Polls until done() holds; the bound only keeps a broken build from hanging the run.
template <class Done>
bool waitFor(Done done) {
    for (const auto end = Clock::now() + std::chrono::seconds(5); !done();) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// What a capture stream delivered so far.
struct Recorder {
    std::function<void(const float*, int)> callbackFor(const KwCapture& stream) {
        return [this, &stream](const float* samples, int frames) {
            std::lock_guard lock(mutex);
            data.insert(data.end(), samples, samples + frames * stream.format().channels);
        };
    }
    size_t size() {
        std::lock_guard lock(mutex);
        return data.size();
    }
    bool heard(float value) {
        std::lock_guard lock(mutex);
        return std::find(data.begin(), data.end(), value) != data.end();
    }
    std::mutex mutex;
    std::vector<float> data;
};

TEST(Streams, AShortRenderCallbackCountsUnderrunsAndStillPlaysItsBlock) {
    PrivateSoundServer server;
    const Endpoints ids = endpointsOfTheServer();
    Recorder recorder;
    KwCapture watch;
    KwRender render;
    std::string err;
    ASSERT_TRUE(watch.open(ids.speakersMonitor, recorder.callbackFor(watch), err)) << err;
    const auto shortOfOne = [&render](float* out, int frames) {
        std::fill(out, out + frames * render.format().channels, 0.25f);
        return frames - 1;
    };
    ASSERT_TRUE(render.open(ids.speakers, shortOfOne, err)) << err;
    EXPECT_TRUE(waitFor([&] { return render.underruns() >= 5 && recorder.heard(0.25f); }));
}

#ifndef _WIN32
// Reaching into the server needs its command-line tools, which a Windows program under Wine
// cannot wait for.
void unload(const std::string& device) {
    runCommand("pactl unload-module $(pactl list short modules | awk '/(sink|source)_name=" +
               device + " / {print $1}')");
}

// A render callback playing a constant in full blocks.
std::function<int(float*, int)> constant(const KwRender& stream, float value) {
    return [&stream, value](float* out, int frames) {
        std::fill(out, out + frames * stream.format().channels, value);
        return frames;
    };
}
#endif

// Refusals name the endpoint; open on an open stream ends the old one first.
TEST(Streams, OpenAndClose) {
    PrivateSoundServer server;
    const Endpoints ids = endpointsOfTheServer();
    Recorder first, second;
    KwCapture capture;
    KwRender render;
    std::string err;
    const auto silent = [](float*, int n) { return n; };
    EXPECT_FALSE(capture.open("nirgends", first.callbackFor(capture), err));
    EXPECT_EQ(err, "Capture-Endpoint nicht gefunden: nirgends");
    EXPECT_FALSE(capture.open(ids.cable, first.callbackFor(capture), err));  // a sink
    EXPECT_EQ(err, "Capture-Endpoint nicht gefunden: " + ids.cable);
    EXPECT_FALSE(render.open(ids.mic, silent, err));
    EXPECT_EQ(err, "Render-Endpoint nicht gefunden: " + ids.mic);
    EXPECT_FALSE(capture.isOpen() || render.isOpen());

    ASSERT_TRUE(capture.open(ids.cableMonitor, first.callbackFor(capture), err)) << err;
    ASSERT_TRUE(waitFor([&] { return first.size() > 0; }));
    ASSERT_TRUE(capture.open(ids.speakersMonitor, second.callbackFor(capture), err)) << err;
    const size_t firstSize = first.size();
    ASSERT_TRUE(waitFor([&] { return second.size() > 2000; }));
    EXPECT_EQ(first.size(), firstSize);
    capture.close();
    capture.close();

#ifndef _WIN32
    for (const char* sink : {"micfeed", "cable_input", "speakers"}) unload(sink);  // and the mic
    EXPECT_FALSE(capture.open("", first.callbackFor(capture), err));
    EXPECT_EQ(err, "Capture-Endpoint nicht gefunden: (Standard)");
    EXPECT_FALSE(render.open("", silent, err));
    EXPECT_EQ(err, "Render-Endpoint nicht gefunden: (Standard)");
#endif
}

#ifndef _WIN32

// A vanished device ends its stream; the stream must not move to another device.
TEST(Streams, ADeviceThatVanishesTakesItsStreamAlong) {
    PrivateSoundServer server;
    const Endpoints ids = endpointsOfTheServer();
    Recorder onCable, onSpeakers;
    KwRender render;
    KwCapture cable, speakers;
    std::string err;
    ASSERT_TRUE(cable.open(ids.cableMonitor, onCable.callbackFor(cable), err)) << err;
    ASSERT_TRUE(speakers.open(ids.speakersMonitor, onSpeakers.callbackFor(speakers), err)) << err;
    ASSERT_TRUE(render.open(ids.cable, constant(render, 0.5f), err)) << err;
    ASSERT_TRUE(waitFor([&] { return onCable.heard(0.5f); }));
    unload("cable_input");
    const size_t watched = onSpeakers.size();
    ASSERT_TRUE(waitFor([&] { return onSpeakers.size() >= watched + 10000; }));
    EXPECT_FALSE(onSpeakers.heard(0.5f));
    render.close();
    ASSERT_TRUE(render.open(ids.speakers, constant(render, 0.5f), err)) << err;
    EXPECT_TRUE(waitFor([&] { return onSpeakers.heard(0.5f); }));
}

TEST(Streams, AHungServerNeverBlocksForLong) {
    PrivateSoundServer server;
    const Endpoints ids = endpointsOfTheServer();
    Recorder recorder;
    KwCapture capture;
    KwRender render;
    std::string err;
    ASSERT_TRUE(capture.open(ids.mic, recorder.callbackFor(capture), err)) << err;
    ASSERT_TRUE(render.open(ids.speakers, constant(render, 0.1f), err)) << err;
    ASSERT_EQ(kill(server.pid(), SIGSTOP), 0);
    struct Resume {
        int pid;
        ~Resume() { kill(pid, SIGCONT); }
    } resume{server.pid()};
    const auto t = Clock::now();
    capture.close();
    render.close();
    EXPECT_THROW(kwEnumerateDevices(), std::runtime_error);
    EXPECT_FALSE(render.open(ids.speakers, constant(render, 0.1f), err));
    EXPECT_EQ(err, "Verbindung zum Soundserver fehlgeschlagen: Timeout");
    EXPECT_LT(Clock::now() - t, std::chrono::seconds(6));
}

#endif

}  // namespace

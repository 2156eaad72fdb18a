// The engine on the simulated sound server: every pairing of formats, clocks that drift apart
// for an hour, callbacks that jitter and stall. The virtual clock makes it exact and fast.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <tuple>
#include <vector>

#include "audio/sim/sim_audio.h"
#include "engine/engine.h"

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;

struct Devices {
    KwStreamFormat mic{48000, 2, 10.0};
    KwStreamFormat out{48000, 2, 10.0};  // speakers and cable alike
    double speakersPpm = 0.0, cablePpm = 0.0, jitterMs = 0.0;
};

// A fresh server with a microphone singing 440 Hz at 0.5 on every channel, speakers and a cable.
void setUp(const Devices& d) {
    sim::reset();
    sim::addDevice({"mic", "Microphone", true, true, d.mic, 0.0, d.jitterMs});
    sim::addDevice({"speakers", "Speakers", false, true, d.out, d.speakersPpm, d.jitterMs});
    sim::addDevice({"cable", "CABLE Input", false, false, d.out, d.cablePpm, d.jitterMs});
    const int rate = d.mic.sampleRate;
    sim::setSignal("mic", [rate](int64_t frame, int) {
        return static_cast<float>(0.5 * std::sin(kTwoPi * 440.0 * frame / rate));
    });
}

// Frequency and amplitude of the strongest sinusoid in one channel, by a least-squares fit
// around the frequency the zero crossings suggest.
std::pair<double, double> tone(const std::vector<float>& x, int channels, int rate) {
    int crossings = 0;
    for (size_t i = channels; i < x.size(); i += channels)
        crossings += (x[i - channels] < 0) != (x[i] < 0);
    const double frames = static_cast<double>(x.size() / channels);
    double best = 0.0, bestHz = 0.0;
    const double guess = crossings * rate / (2.0 * frames);
    for (double hz = guess - 2.0; hz <= guess + 2.0; hz += 0.01) {
        double s = 0.0, c = 0.0;
        for (size_t i = 0; i < x.size(); i += channels) {
            s += x[i] * std::sin(kTwoPi * hz * (i / channels) / rate);
            c += x[i] * std::cos(kTwoPi * hz * (i / channels) / rate);
        }
        const double amplitude = 2.0 * std::hypot(s, c) / frames;
        if (amplitude > best) best = amplitude, bestHz = hz;
    }
    return {bestHz, best};
}

TEST(SimulatedDevices, EveryFormatPairCarriesTheVoiceAtItsPitchAndLevel) {
    const KwStreamFormat formats[] = {{16000, 1, 10.0}, {44100, 2, 10.0}, {48000, 6, 5.0}};
    for (const KwStreamFormat& mic : formats) {
        for (const KwStreamFormat& out : formats) {
            setUp({mic, out});
            std::vector<float> heard;
            sim::setListener("cable", [&](const float* samples, int frames) {
                if (sim::now() > 1.0)
                    heard.insert(heard.end(), samples, samples + frames * out.channels);
            });
            Engine engine("", nullptr);
            std::string err;
            ASSERT_TRUE(engine.start(err)) << err;
            sim::run(1.5);
            const auto [hz, amplitude] = tone(heard, out.channels, out.sampleRate);
            EXPECT_NEAR(hz, 440.0, 0.02) << mic.sampleRate << " to " << out.sampleRate;
            EXPECT_NEAR(amplitude, 0.5, 0.001) << mic.sampleRate << " to " << out.sampleRate;
            EXPECT_EQ(engine.status().underruns, 0u);
        }
    }
}

// Speakers and cable run 200 ppm faster and slower than the microphone for an hour: once the
// ratios have settled nothing runs dry or is dropped, and the rings stay a block around their
// cushion.
TEST(SimulatedDevices, ClocksThatDriftApartForAnHourNeverClick) {
    Devices d;
    d.mic = d.out = {16000, 1, 10.0};  // the clocks matter here, not the bandwidth
    d.speakersPpm = 200.0;
    d.cablePpm = -200.0;
    setUp(d);
    Engine engine("", nullptr);
    std::string err;
    ASSERT_TRUE(engine.start(err)) << err;
    sim::run(120.0);
    const EngineStatus settled = engine.status();
    // A fast output clock asks for more frames: each takes less input.
    EXPECT_NEAR(settled.monitorOut.ratioPpm, -200.0, 5.0);
    EXPECT_NEAR(settled.cableOut.ratioPpm, 200.0, 5.0);
    double lowest = 1e9, highest = -1e9;
    for (int second = 120; second < 3600; second += 7) {
        sim::run(7.0);
        const EngineStatus s = engine.status();
        for (const auto& o : {s.monitorOut, s.cableOut}) {
            lowest = std::min(lowest, o.queuedMs - o.cushionMs);
            highest = std::max(highest, o.queuedMs - o.cushionMs);
        }
    }
    const EngineStatus end = engine.status();
    EXPECT_EQ(end.underruns, settled.underruns);
    EXPECT_EQ(end.discardedFrames, 0u);
    EXPECT_GT(lowest, -2.0);
    EXPECT_LT(highest, 12.0);
}

// A stall of either side is survived: the outputs drop what piled up or wait for the cushion,
// and then play on without another click; jitter raises the cushion until nothing runs dry.
TEST(SimulatedDevices, StallsAndJitterAreSurvived) {
    for (const char* stalled : {"speakers", "mic"}) {
        setUp({});
        Engine engine("", nullptr);
        std::string err;
        ASSERT_TRUE(engine.start(err)) << err;
        sim::run(5.0);
        sim::stall(stalled, 300.0);
        sim::run(2.0);
        const EngineStatus after = engine.status();
        sim::run(20.0);
        EXPECT_EQ(engine.status().underruns, after.underruns) << stalled;
        EXPECT_LT(engine.status().monitorOut.queuedMs, after.monitorOut.cushionMs + 10.0)
            << stalled;
    }
    Devices jittery;
    jittery.jitterMs = 15.0;
    setUp(jittery);
    Engine engine("", nullptr);
    std::string err;
    ASSERT_TRUE(engine.start(err)) << err;
    uint32_t perMinute[3] = {}, before = 0;
    for (uint32_t& count : perMinute) {
        sim::run(60.0);
        count = engine.status().underruns - before;
        before += count;
    }
    const EngineStatus adapted = engine.status();
    EXPECT_GT(adapted.monitorOut.cushionMs, 12.0);  // where it started: a request and 2 ms
    EXPECT_LT(adapted.monitorOut.cushionMs, 40.0);
    EXPECT_LT(perMinute[2], perMinute[0] / 2) << perMinute[0] << " " << perMinute[1];
}

// A device unplugged and plugged in again: the engine reports itself stopped meanwhile and
// resumes by itself within two seconds of the device's return, the cable as well.
TEST(SimulatedDevices, UnpluggedDevicesComeBack) {
    for (const char* device : {"mic", "cable"}) {
        setUp({});
        Engine engine("", nullptr);
        std::string err;
        ASSERT_TRUE(engine.start(err)) << err;
        const auto serve = [&engine](double seconds) {
            for (double t = 0; t < seconds; t += 0.2) {
                sim::run(0.2);
                engine.service();
            }
            return engine.status();
        };
        sim::removeDevice(device);
        EXPECT_EQ(serve(3.0).cableActive, false) << device;
        const bool mic = device == std::string("mic");
        sim::addDevice({device, mic ? "Microphone" : "CABLE Input", mic, mic, {48000, 2, 10.0}});
        const EngineStatus back = serve(2.0);
        EXPECT_TRUE(back.running && back.cableActive) << device;
        EXPECT_GT(back.level, 0.4f) << device;
    }
}

}  // namespace

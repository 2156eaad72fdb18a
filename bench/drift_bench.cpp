// The outputs' clock following on the simulated server: speakers 200 ppm fast and a cable
// 200 ppm slow against the microphone, then all three with 15 ms of callback jitter. Prints the
// rings' fill and the conversion ratios over time, how long the ratios take to settle, and the
// largest step of a ratio from one callback to the next.
//
//   drift_bench [--minutes N]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "audio/sim/sim_audio.h"
#include "engine/engine.h"

namespace {

void run(const char* title, double minutes, double jitterMs) {
    sim::reset();
    const KwStreamFormat format{48000, 2, 10.0};
    sim::addDevice({"mic", "Microphone", true, true, format, 0.0, jitterMs});
    sim::addDevice({"speakers", "Speakers", false, true, format, 200.0, jitterMs});
    sim::addDevice({"cable", "CABLE Input", false, false, format, -200.0, jitterMs});
    Engine engine("", nullptr);
    std::string err;
    if (!engine.start(err)) {
        std::fprintf(stderr, "start: %s\n", err.c_str());
        std::exit(1);
    }
    // Each callback of an output: its ratio's step, and when it last left the settled band.
    double lastPpm[2] = {0, 0}, largestStep = 0, unsettledAt[2] = {0, 0};
    const double target[2] = {-200.0, 200.0};
    for (int o = 0; o < 2; ++o) {
        sim::setListener(o ? "cable" : "speakers", [&, o](const float*, int) {
            const EngineStatus s = engine.status();
            const double ppm = (o ? s.cableOut : s.monitorOut).ratioPpm;
            largestStep = std::max(largestStep, std::fabs(ppm - lastPpm[o]));
            lastPpm[o] = ppm;
            if (std::fabs(ppm - target[o]) > 5.0 + 3.0 * jitterMs) unsettledAt[o] = sim::now();
        });
    }
    std::printf("\n%s\n  %8s  %26s  %26s\n", title, "time s", "speakers fill ms / ppm",
                "cable fill ms / ppm");
    for (double t = 0; t < minutes * 60; t += 10) {
        sim::run(10.0);
        const EngineStatus s = engine.status();
        if (static_cast<int>(t) % 60 == 0 || t < 60) {
            std::printf("  %8.0f  %12.1f / %+11.1f  %12.1f / %+11.1f\n", t + 10,
                        s.monitorOut.queuedMs, s.monitorOut.ratioPpm, s.cableOut.queuedMs,
                        s.cableOut.ratioPpm);
        }
    }
    const EngineStatus s = engine.status();
    std::printf("  settled (within %.0f ppm of the drift) after: speakers %.1f s, cable %.1f s\n",
                5.0 + 3.0 * jitterMs, unsettledAt[0], unsettledAt[1]);
    std::printf("  largest ratio step between two callbacks: %.2f ppm\n", largestStep);
    std::printf("  cushion at the end: speakers %.1f ms, cable %.1f ms\n", s.monitorOut.cushionMs,
                s.cableOut.cushionMs);
    std::printf("  underruns %u, dropped frames %llu\n", s.underruns,
                static_cast<unsigned long long>(s.discardedFrames));
}

}  // namespace

int main(int argc, char** argv) {
    double minutes = 10.0;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--minutes") == 0) minutes = std::atof(argv[i + 1]);
    }
    run("+/-200 ppm, no jitter", minutes, 0.0);
    run("+/-200 ppm, 15 ms of jitter on every device", minutes, 15.0);
    return 0;
}

// A simulated sound server, for tests and benchmarks: devices of any format whose clocks run off
// a virtual one at a chosen offset and jitter. A stream's callbacks run when the virtual clock
// passes their time, on the thread that advances it, so an hour of audio takes seconds and comes
// out the same every time. kw_audio.h's functions and streams work on it as on a real server.
// Everything here belongs to that one thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "audio/kw_audio.h"

namespace sim {

struct Device {
    std::string id;
    std::string name;
    bool isCapture = false;
    bool isDefault = false;
    KwStreamFormat format;  // rate, channels and period; every callback carries one period
    double clockPpm = 0.0;  // how much faster than nominal the device's clock runs
    double jitterMs = 0.0;  // each callback comes up to this much late, at random
};

// Forgets every device and stream; the clock restarts at 0 and the random jitter at `seed`.
void reset(unsigned seed = 1);
void addDevice(const Device& device);
// The device goes away: its stream gets no more callbacks, and it is no longer listed.
void removeDevice(const std::string& id);
// The device's stream skips `ms` of callbacks. A microphone then delivers what it recorded
// meanwhile at once; an output just carries on, having run dry once.
void stall(const std::string& id, double ms);
// What a microphone records: signal(frame, channel) for the frames since its stream opened.
void setSignal(const std::string& id, std::function<float(int64_t frame, int channel)> signal);
// Receives every block an output's stream plays: frames x channels interleaved samples.
void setListener(const std::string& id,
                 std::function<void(const float* samples, int frames)> listen);
// Advances the virtual clock, running every callback that falls due, in time order.
void run(double seconds);
double now();

}  // namespace sim

#include "engine/render_from_ring.h"

#include <algorithm>

int renderFromRing(RingBuffer& ring, LagWindow& lag, int channels, int sampleRate,
                   const BacklogLimits& limits, float* out, int frames, uint64_t& droppedFrames) {
    const size_t want = static_cast<size_t>(frames) * channels;
    size_t dropped = ring.trimTo(want + limits.backlogSamples);
    lag.minFill = std::min(lag.minFill, ring.fill());
    lag.frames += frames;
    if (lag.frames >= sampleRate) {
        const size_t keep = want + limits.cushionSamples;
        if (lag.minFill > keep) dropped += ring.read(nullptr, lag.minFill - keep);
        lag = LagWindow{};
    }
    droppedFrames += dropped / channels;
    const size_t n = ring.read(out, want);
    std::fill(out + n, out + want, 0.0f);
    return static_cast<int>(n / channels);
}

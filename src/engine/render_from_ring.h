// The render side of an output's ring: what a render callback plays, and how an output that lags
// behind the capture is brought back.
#pragma once

#include <cstddef>
#include <cstdint>

#include "voice/ring_buffer.h"

// How far one output lagged behind the capture over the current second; render thread only.
struct LagWindow {
    size_t minFill = SIZE_MAX;  // smallest ring fill seen when the output asked for audio
    int frames = 0;             // frames asked for in this second
};

struct BacklogLimits {
    size_t backlogSamples;  // ring fill beyond one request that is dropped at once
    size_t cushionSamples;  // kept beyond one request when the second's backlog is trimmed
};

// Fills frames x channels samples of out from the ring and zero-pads what it lacks; returns the
// whole frames that carried audio. Backlog beyond the limits is dropped first (and, once a second,
// whatever the ring held throughout that second beyond one request plus the cushion); the dropped
// frames are added to droppedFrames.
int renderFromRing(RingBuffer& ring, LagWindow& lag, int channels, int sampleRate,
                   const BacklogLimits& limits, float* out, int frames, uint64_t& droppedFrames);

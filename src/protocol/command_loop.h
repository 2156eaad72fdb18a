// The protocol mode: JSON requests on standard input, one reply line each on standard output.
#pragma once

#include <cstddef>

// Longest request line accepted; a 30 s stereo clip at 48 kHz in Base64 is about 15.4 MB.
inline constexpr size_t kMaxLineBytes = 64u << 20;

class Engine;

// Serves the engine until `quit`, end of input or a termination request, then stops it; returns
// the exit status.
int runProtocol(Engine& engine);

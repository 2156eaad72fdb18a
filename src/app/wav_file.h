// RIFF/WAVE files for the command-line tools: PCM of 8 to 32 bits or 32/64-bit float in, plain or
// extensible, mono float out.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Loads the whole file as floats, interleaved as stored: as many frames as the file holds, at a
// rate audio files use. On failure only `err` is changed.
bool wavRead(const std::string& path, std::vector<float>& samples, int& sampleRate, int& channels,
             std::string& err);

// Saves mono 32-bit float samples. A regular target file is replaced only by a completely
// written one; devices and other special targets are written in place.
bool wavWriteFloat(const std::string& path, const float* data, size_t n, int sampleRate,
                   std::string& err);

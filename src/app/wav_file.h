// RIFF/WAVE files for the command-line tools: 16-bit PCM or 32-bit float in, mono float out.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Loads the whole file as floats, interleaved as stored. On failure only `err` is changed.
bool wavRead(const std::string& path, std::vector<float>& samples, int& sampleRate, int& channels,
             std::string& err);

// Saves mono 32-bit float samples. A regular target file is replaced only by a completely
// written one; devices and other special targets are written in place.
bool wavWriteFloat(const std::string& path, const float* data, size_t n, int sampleRate,
                   std::string& err);

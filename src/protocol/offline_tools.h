// Command-line tools that need no audio device.
#pragma once

#include <string>
#include <vector>

// Averages the channels of interleaved samples; a trailing partial frame is dropped.
std::vector<float> mixdown(const std::vector<float>& samples, int channels);

// --selftestdsp: a WAV file through a preset's effect chain at 48 kHz.
int runSelfTestDsp(const std::string& preset, const std::string& inPath,
                   const std::string& outPath);

// --gen-test-wav: a vowel-like 16 kHz test signal.
int runGenTestWav(const std::string& outPath, float seconds);

// --help: the usage text on standard error.
int printHelp();

// Command-line tools that need no audio device.
#pragma once

#include <functional>
#include <string>
#include <vector>

// Averages the channels of interleaved samples; a trailing partial frame is dropped.
std::vector<float> mixdown(const std::vector<float>& samples, int channels);

// Brings a mono signal to `target` Hz in one push (the resampler's look-ahead tail is not
// drained). A refused rate is logged under the tool's tag; the result is then false.
bool resampleOnce(std::vector<float>& signal, int rate, int target, const char* tag);

// Runs a tool that reads inPath; memory running out is logged under the tool's tag as what it is,
// with exit status 2.
int reportingMemoryFailure(const char* tag, const std::string& inPath,
                           const std::function<int()>& tool);

// --selftestdsp: a WAV file through a preset's effect chain at 48 kHz.
int runSelfTestDsp(const std::string& preset, const std::string& inPath,
                   const std::string& outPath);

// --gen-test-wav: a vowel-like 16 kHz test signal.
int runGenTestWav(const std::string& outPath, float seconds);

// --selftest: a WAV file through a neural voice, chunk by chunk, at 40 kHz.
int runVoiceSelfTest(const std::string& inPath, const std::string& voice,
                     const std::string& outPath, const std::string& modelDir);

// --help: the usage text on standard error.
int printHelp();

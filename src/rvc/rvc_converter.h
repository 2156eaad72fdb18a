// One neural voice: the shared base networks (content encoder, pitch estimator), a voice
// network, and the conversion of one chunk of 16 kHz audio into the voice at 40 kHz.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "rvc/mel_extractor.h"
#include "rvc/ort_runtime.h"

// KW_MODEL_DIR when set and not empty, else the default voice directory.
std::string defaultModelDir();

// The base model file in dir, else in KW_BASE_MODEL_DIR (or its default), unchecked.
std::string resolveBaseModel(const std::string& dir, const std::string& file);

// Samples at 16 kHz for a chunk of `ms` milliseconds: whole 20 ms steps from 40 to 4000 ms.
int32_t chunkSamplesForMs(int ms);

// f0 in Hz of one frame of 360 pitch saliences; 0 when unvoiced.
float rmvpeDecodeFrame(const float* salience);

// The voice network's coarse pitch (1 to 255) for an f0 in Hz.
int64_t coarsePitch(float f0);

class RvcConverter {
  public:
    // Samples of history before and of look-ahead after each chunk.
    static constexpr int kHistory = 640;
    static constexpr int kLookAhead = 320;

    RvcConverter();

    bool init(const std::string& modelDir, std::string& error);
    bool loadVoice(const std::string& path, std::string& error);
    void setChunkMs(int ms) { chunkSamples = chunkSamplesForMs(ms); }
    bool ready() const { return hubert && rmvpe && voice; }
    std::string voiceProvider() const { return voice ? voice->provider : "-"; }

    // input: chunkSamples + 960 samples at 16 kHz; output: chunkSamples * 5 / 2 at 40 kHz.
    bool convertChunk(const float* input, std::vector<float>& output, std::string& error);

    std::shared_ptr<OrtSessionImpl> hubert;
    std::shared_ptr<OrtSessionImpl> rmvpe;
    std::shared_ptr<OrtSessionImpl> voice;
    std::string voicePath;
    MelExtractor mel;
    int32_t chunkSamples;
    // Written by the command thread while the worker converts; a torn value is impossible.
    std::atomic<float> pitchFactor{1.0f};
    double melMs = 0.0;
    double rmvpeMs = 0.0;
    double hubertMs = 0.0;
    double voiceMs = 0.0;
    int64_t chunks = 0;
    uint32_t noiseState = 0x12345678;

  private:
    void readPitchFile(const std::string& voiceFile);
};

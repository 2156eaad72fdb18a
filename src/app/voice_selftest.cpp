// --selftest: offline conversion through a neural voice, with stage timings.
#include <algorithm>
#include <chrono>

#include "app/offline_tools.h"
#include "app/wav_file.h"
#include "platform/diagnostics.h"
#include "rvc/rvc_converter.h"

namespace {

int voiceSelfTest(const std::string& inPath, const std::string& voice, const std::string& outPath,
                  const std::string& modelDir) {
    std::vector<float> samples;
    int rate = 0, channels = 0;
    std::string err;
    if (!wavRead(inPath, samples, rate, channels, err)) {
        logf("[selftest] %s", err.c_str());
        return 2;
    }
    logf("[selftest] Eingabe: %s (%d Hz, %d ch, %.2f s)", inPath.c_str(), rate, channels,
         static_cast<double>(samples.size()) / channels / rate);
    std::vector<float> x = mixdown(samples, channels);
    samples = {};
    if (!resampleOnce(x, rate, 16000, "selftest")) return 2;
    const size_t n = x.size();

    RvcConverter converter;
    if (!converter.init(modelDir, err)) {
        logf("[selftest] init: %s", err.c_str());
        return 3;
    }
    std::string voicePath = voice;
    if (voice.find_first_of("/\\") == std::string::npos) {
        voicePath = modelDir + "/" + voice;
        const bool hasSuffix =
            voicePath.size() > 4 && voicePath.compare(voicePath.size() - 5, 5, ".onnx") == 0;
        if (!hasSuffix) voicePath += ".onnx";
    }
    if (!converter.loadVoice(voicePath, err)) {
        logf("[selftest] voice: %s", err.c_str());
        return 3;
    }

    const size_t chunk = static_cast<size_t>(converter.chunkSamples);
    const size_t windowSize = chunk + RvcConverter::kHistory + RvcConverter::kLookAhead;
    std::vector<float> output, window(windowSize), y;
    output.reserve(n * 5 / 2 + 8192);
    const auto t0 = std::chrono::steady_clock::now();
    for (size_t pos = 0; pos < n; pos += chunk) {
        for (size_t j = 0; j < windowSize; ++j) {
            const long long i = static_cast<long long>(pos + j) - RvcConverter::kHistory;
            window[j] = i >= 0 && i < static_cast<long long>(n) ? x[static_cast<size_t>(i)] : 0.0f;
        }
        if (!converter.convertChunk(window.data(), y, err)) {
            logf("[selftest] convert @%.2fs: %s", pos / 16000.0, err.c_str());
            return 4;
        }
        const size_t take = std::min(y.size(), 5 * (n - pos) / 2);
        output.insert(output.end(), y.begin(), y.begin() + static_cast<long>(take));
    }
    const double wallMs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0)
            .count() /
        1000000.0;
    const double sec = n / 16000.0;
    const int chunkMs = converter.chunkSamples / 16;
    logf(
        "[selftest] %ld Chunks à %d ms | Stage-Zeiten gesamt: mel %.0f ms, rmvpe %.0f ms, "
        "hubert %.0f ms, voice %.0f ms",
        static_cast<long>(static_cast<int32_t>(converter.chunks)), chunkMs, converter.melMs,
        converter.rmvpeMs, converter.hubertMs, converter.voiceMs);
    const double total =
        converter.melMs + converter.rmvpeMs + converter.hubertMs + converter.voiceMs;
    const double perChunk = converter.chunks ? total / converter.chunks : 0.0;
    logf("[selftest] Wall %.0f ms für %.2f s Audio → RTF %.2f (%.0f ms Inferenz pro %d ms Chunk)",
         wallMs, sec, n ? wallMs / (1000 * sec) : 0.0, perChunk, chunkMs);

    if (!wavWriteFloat(outPath, output.data(), output.size(), 40000, err)) {
        logf("[selftest] %s", err.c_str());
        return 5;
    }
    logf("[selftest] Ausgabe: %s (%zu Samples @40 kHz)", outPath.c_str(), output.size());
    return 0;
}

}  // namespace

int runVoiceSelfTest(const std::string& inPath, const std::string& voice,
                     const std::string& outPath, const std::string& modelDir) {
    return reportingMemoryFailure("selftest", inPath,
                                  [&] { return voiceSelfTest(inPath, voice, outPath, modelDir); });
}

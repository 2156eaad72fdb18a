#include "app/offline_tools.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <functional>
#include <new>

#include "app/wav_file.h"
#include "dsp/dsp_chain.h"
#include "dsp/presets.h"
#include "platform/diagnostics.h"
#include "rvc/polyphase_resampler.h"

namespace {

constexpr int kChainRate = 48000;
constexpr int kBlockFrames = 480;
constexpr int kTestRate = 16000;
// Longer test signals are refused rather than risking a multi-gigabyte buffer.
constexpr float kMaxTestSeconds = 3600.0f;

constexpr char kHelp[] =
    "engine.exe                 JSON-Protokoll auf stdin/stdout\n"
    "engine.exe --list          Geräte als JSON\n"
    "engine.exe --test <preset> [--seconds N]   Live-Test Mikro→DSP→Ausgabe\n"
    "engine.exe --selftest <in.wav> [--voice <name>] [--out <out.wav>] [--model-dir <dir>]\n"
    "                           WAV durch RVC-Stimme konvertieren (offline, 40 kHz out)\n"
    "engine.exe --selftestdsp <preset> <in.wav> <out.wav>\n"
    "                           WAV offline durch DSP-Preset-Kette (48 kHz out)\n"
    "engine.exe --gen-test-wav <out.wav> [--seconds N]   synthetisches Testsignal\n"
    "Presets: roboter daemon tief chipmunk yuki lena funk studio asmr alien cyborg echo original\n"
    "RVC-Stimmen: set_voice <name> lädt <modelDir>/<name>.onnx (modelDir via Env KW_MODEL_DIR "
    "oder Kommando set_model_dir)\n";

// Gaussian bump used for the three formant weightings.
float formant(float x, float centre, float variance) {
    return expf(((x - centre) * -0.5f * (x - centre)) / variance);
}

}  // namespace

std::vector<float> mixdown(const std::vector<float>& samples, int channels) {
    const size_t frames = samples.size() / static_cast<size_t>(channels);
    std::vector<float> mono(frames);
    for (size_t f = 0; f < frames; ++f) {
        float sum = 0.0f;
        for (int c = 0; c < channels; ++c) sum += samples[f * channels + c];
        mono[f] = sum / static_cast<float>(channels);
    }
    return mono;
}

bool resampleOnce(std::vector<float>& signal, int rate, int target, const char* tag) {
    if (rate == target) return true;
    try {
        PolyphaseResampler resampler(rate, target, 16);
        std::vector<float> resampled;
        resampler.push(signal.data(), signal.size(), resampled);
        signal = std::move(resampled);
        return true;
    } catch (const std::bad_alloc&) {
        throw;  // not a matter of the rate
    } catch (const std::exception& e) {
        logf("[%s] Resampling %d→%d nicht unterstützt: %s", tag, rate, target, e.what());
        return false;
    }
}

int reportingMemoryFailure(const char* tag, const std::string& inPath,
                           const std::function<int()>& tool) {
    try {
        return tool();
    } catch (const std::bad_alloc&) {
        logf("[%s] nicht genug Arbeitsspeicher für %s", tag, inPath.c_str());
        return 2;
    }
}

namespace {

int selfTestDsp(const std::string& preset, const std::string& inPath, const std::string& outPath) {
    std::vector<float> samples;
    int rate = 0, channels = 0;
    std::string err;
    if (!wavRead(inPath, samples, rate, channels, err)) {
        logf("[selftestdsp] %s", err.c_str());
        return 2;
    }
    std::vector<float> input = mixdown(samples, channels);
    samples = {};
    if (!resampleOnce(input, rate, kChainRate, "selftestdsp")) return 2;

    bool known = false;
    const DspParams params = presetByName(preset, known);
    if (!known) {
        logf("[selftestdsp] unbekanntes Preset '%s'", preset.c_str());
        return 2;
    }
    DspChain chain;
    chain.init(1, static_cast<float>(kChainRate));
    chain.setParams(params);

    const size_t n = input.size();
    std::vector<float> output(n, 0.0f);
    const auto t0 = std::chrono::steady_clock::now();
    for (size_t start = 0; start < n; start += kBlockFrames) {
        const size_t len = std::min<size_t>(kBlockFrames, n - start);
        std::copy_n(input.begin() + start, len, output.begin() + start);
        chain.process(output.data() + start, static_cast<int>(len));
    }
    const auto t1 = std::chrono::steady_clock::now();
    const double procMs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count() / 1000000.0;
    const double audioMs = n / 48.0;
    const int lat = chain.latencySamples();
    logf(
        "[selftestdsp] Preset '%s': %zu Samples @48 kHz (%.2f s), Latenz %d Samples (%.1f ms), "
        "Proc %.1f ms → RTF %.4f",
        preset.c_str(), n, audioMs / 1000.0, lat, lat / 48.0, procMs, n ? procMs / audioMs : 0.0);

    if (!wavWriteFloat(outPath, output.data(), n, kChainRate, err)) {
        logf("[selftestdsp] %s", err.c_str());
        return 5;
    }
    logf("[selftestdsp] Ausgabe: %s", outPath.c_str());
    return 0;
}

}  // namespace

int runSelfTestDsp(const std::string& preset, const std::string& inPath,
                   const std::string& outPath) {
    return reportingMemoryFailure("selftestdsp", inPath,
                                  [&] { return selfTestDsp(preset, inPath, outPath); });
}

int runGenTestWav(const std::string& outPath, float seconds) {
    if (!(seconds >= 0.0f && seconds <= kMaxTestSeconds)) {
        logf("[gen] Fehler: ungültige Dauer %.1f s", seconds);
        return 2;
    }
    const auto n = static_cast<int32_t>(static_cast<float>(kTestRate) * seconds);
    std::vector<float> samples(static_cast<size_t>(n));
    float phase = 0.0f;
    uint32_t r = 0xC0FFEE;
    for (int32_t i = 0; i < n; ++i) {
        const float t = static_cast<float>(i) / 16000.0f;
        float f0 = 140.0f;
        if (t < 1.5f) {
            f0 = (t / 1.5f) * 130.0f + 100.0f;
        } else if (t < 3.0f) {
            f0 = 230.0f - ((t - 1.5f) / 1.5f) * 90.0f;
        }
        const float f = (0.02f * sinf(34.557491f * t) + 1.0f) * f0;
        const float a = sinf(20.734495f * t);
        const float e = 0.5f * a + 0.5f;
        const float env = e * e;
        phase += (6.28318f * f) / 16000.0f;

        float h = 0.0f;
        for (int k = 1; k <= 10; ++k) {
            const float fk = f * static_cast<float>(k);
            if (fk > 7500.0f) break;
            const float w =
                ((formant(fk, 700.0f, 62500.0f) + 0.25f) + 0.7f * formant(fk, 1200.0f, 122500.0f)) +
                0.5f * formant(fk, 2600.0f, 250000.0f);
            h += (w / static_cast<float>(k)) * sinf(phase * static_cast<float>(k));
        }

        r ^= r << 13;
        r ^= r >> 17;
        r ^= r << 5;
        const uint32_t u = (r >> 8) & 0xFFFF;
        const float noise = static_cast<float>(u) * 3.0517578e-5f - 1.0f;
        samples[i] = ((noise * 0.06f) * env + env * h) * 0.35f;
    }

    std::string err;
    if (!wavWriteFloat(outPath, samples.data(), samples.size(), kTestRate, err)) {
        logf("[gen] Fehler: %s", err.c_str());
        return 1;
    }
    logf("[gen] %s geschrieben (%.1f s, 16 kHz mono float32)", outPath.c_str(), seconds);
    return 0;
}

int printHelp() {
    std::fwrite(kHelp, 1, sizeof kHelp - 1, stderr);
    std::fflush(stderr);
    return 0;
}

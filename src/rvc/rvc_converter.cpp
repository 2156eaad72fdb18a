#include "rvc/rvc_converter.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/diagnostics.h"
#include "platform/platform.h"

namespace {

constexpr int kFeatures = 768;
constexpr int kPitchBins = 360;
constexpr int kNoiseRows = 192;
constexpr int kMelBands = 128;
constexpr int kOutPerFrame = 400;  // 10 ms at 40 kHz
constexpr int kInPerFrame = 160;   // 10 ms at 16 kHz
constexpr int kPitchFrameOffset = 4;
constexpr int kContentFrameOffset = 2;
constexpr int32_t kDefaultChunk = 16000;
constexpr int64_t kOnnxFloat = 1;
constexpr int64_t kOnnxInt64 = 7;

std::mutex g_baseMtx;
std::shared_ptr<OrtSessionImpl> g_hubert;
std::shared_ptr<OrtSessionImpl> g_rmvpe;
std::string g_baseDir;

// Cents of each pitch bin, with four empty bins on either side for the averaging window.
const std::array<float, kPitchBins + 8>& centsTable() {
    static const std::array<float, kPitchBins + 8> table = [] {
        std::array<float, kPitchBins + 8> t{};
        for (int i = 0; i < kPitchBins; ++i) t[i + 4] = 1997.3794f + 20.0f * static_cast<float>(i);
        return t;
    }();
    return table;
}

// Position of each named input among the session's inputs; -1 for a missing one.
int inputIndex(const OrtSessionImpl& s, const char* name) {
    const auto it = std::find(s.inputNames.begin(), s.inputNames.end(), name);
    return it == s.inputNames.end() ? -1 : static_cast<int>(it - s.inputNames.begin());
}

constexpr const char* kVoiceInputs[] = {"phone",         "pitch", "pitchf",
                                        "phone_lengths", "sid",   "noise"};
constexpr const char* kContractOrder[] = {"phone",  "phone_lengths", "pitch",
                                          "pitchf", "sid",           "noise"};

// The six voice inputs for T frames, in kVoiceInputs order, over caller-owned buffers.
struct VoiceInputs {
    explicit VoiceInputs(int64_t t)
        : frames(t),
          phone(static_cast<size_t>(t) * kFeatures, 0.0f),
          pitch(static_cast<size_t>(t), 1),
          pitchf(static_cast<size_t>(t), 0.0f),
          noise(static_cast<size_t>(t) * kNoiseRows, 0.0f),
          phoneShape{1, t, kFeatures},
          rowShape{1, t},
          noiseShape{1, kNoiseRows, t} {}

    bool run(const OrtSessionImpl& voice, std::vector<float>& out, std::string& error) {
        const TensorIn tensors[] = {
            {phone.data(), phoneShape, 3, phone.size(), kOnnxFloat},
            {pitch.data(), rowShape, 2, pitch.size(), kOnnxInt64},
            {pitchf.data(), rowShape, 2, pitchf.size(), kOnnxFloat},
            {&frames, scalarShape, 1, 1, kOnnxInt64},
            {&sid, scalarShape, 1, 1, kOnnxInt64},
            {noise.data(), noiseShape, 3, noise.size(), kOnnxFloat},
        };
        std::vector<int> index;
        for (const char* name : kVoiceInputs) index.push_back(inputIndex(voice, name));
        std::vector<int64_t> shape;
        return ortRun(voice, tensors, std::size(tensors), index, out, shape, error);
    }

    int64_t frames;
    int64_t sid = 0;
    std::vector<float> phone;
    std::vector<int64_t> pitch;
    std::vector<float> pitchf;
    std::vector<float> noise;
    int64_t phoneShape[3];
    int64_t rowShape[2];
    int64_t noiseShape[3];
    int64_t scalarShape[1] = {1};
};

}  // namespace

std::string defaultModelDir() {
    const char* env = std::getenv("KW_MODEL_DIR");
    return env && *env ? env : "D:/kw-models/onnx-dyn";
}

std::string resolveBaseModel(const std::string& dir, const std::string& file) {
    const std::string local = dir + "/" + file;
    if (platform::isFile(local)) return local;
    const char* env = std::getenv("KW_BASE_MODEL_DIR");
    return std::string(env && *env ? env : "D:/kw-models/onnx") + "/" + file;
}

int32_t chunkSamplesForMs(int ms) {
    if (ms < 40) return 640;
    if (ms > 4000) return 64000;
    return ms / 20 * 320;
}

float rmvpeDecodeFrame(const float* salience) {
    const int peak = static_cast<int>(std::max_element(salience, salience + kPitchBins) - salience);
    if (!(salience[peak] > 0.03f)) return 0.0f;
    const auto& cents = centsTable();
    float sum = 0.0f, weighted = 0.0f;
    for (int bin = peak - 4; bin <= peak + 4; ++bin) {
        if (bin < 0 || bin >= kPitchBins) continue;
        sum += salience[bin];
        weighted += salience[bin] * cents[bin + 4];
    }
    if (!(sum > 1e-9f)) return 0.0f;
    const float c = weighted / sum;
    return c == 0.0f ? 0.0f : 10.0f * std::exp2(c / 1200.0f);
}

int64_t coarsePitch(float f0) {
    double mel = 1127.0 * std::log(1.0 + f0 / 700.0);
    if (mel > 0.0) mel = (mel - 77.75493) * 254.0 / 986.65326 + 1.0;
    const double coarse = mel <= 1.0 ? 1.0 : std::min(mel, 255.0);
    return static_cast<int64_t>(std::nearbyint(coarse));
}

RvcConverter::RvcConverter()
    : mel(MelConfig{16000, 1024, 160, kMelBands, 30.0f, 8000.0f, 1e-5f}),
      chunkSamples(kDefaultChunk) {
    if (const char* env = std::getenv("KW_RVC_CHUNK_MS")) setChunkMs(std::atoi(env));
}

bool RvcConverter::init(const std::string& modelDir, std::string& error) {
    std::lock_guard lock(g_baseMtx);
    const std::string hubertPath = resolveBaseModel(modelDir, "hubert_v2.onnx");
    const std::string rmvpePath = resolveBaseModel(modelDir, "rmvpe.onnx");
    const std::string key = hubertPath + "|" + rmvpePath;
    if (g_hubert && g_rmvpe && g_baseDir == key) {
        hubert = g_hubert;
        rmvpe = g_rmvpe;
        return true;
    }
    const std::string provider = providerPrefEnv("KW_RVC_PROVIDER_BASE", "cpu");
    auto newHubert = std::make_shared<OrtSessionImpl>();
    auto newRmvpe = std::make_shared<OrtSessionImpl>();
    logf("[rvc] lade %s …", hubertPath.c_str());
    if (!newHubert->load(hubertPath, provider, error)) return false;
    logf("[rvc] lade %s …", rmvpePath.c_str());
    if (!newRmvpe->load(rmvpePath, provider, error)) return false;
    for (const auto& [session, path] :
         {std::pair{newHubert.get(), &hubertPath}, std::pair{newRmvpe.get(), &rmvpePath}}) {
        if (session->inputNames.empty() || session->outputNames.empty()) {
            error = "Basismodell ohne Ein- oder Ausgang: " + *path;
            return false;
        }
    }
    logf("[rvc] provider=%s | hubert in=%s out=%s | rmvpe in=%s out=%s",
         newHubert->provider.c_str(), newHubert->inputNames[0].c_str(),
         newHubert->outputNames[0].c_str(), newRmvpe->inputNames[0].c_str(),
         newRmvpe->outputNames[0].c_str());
    g_hubert = newHubert;
    g_rmvpe = newRmvpe;
    g_baseDir = key;
    hubert = newHubert;
    rmvpe = newRmvpe;
    return true;
}

void RvcConverter::readPitchFile(const std::string& voiceFile) {
    std::string path = voiceFile;
    if (path.size() > 5 && path.compare(path.size() - 5, 5, ".onnx") == 0)
        path.resize(path.size() - 5);
    path += ".semitones";
    pitchFactor = 1.0f;
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f) return;
    float s = 0.0f;
    const bool read = std::fscanf(f, "%f", &s) == 1;
    std::fclose(f);
    if (!read || s == 0.0f) return;
    s = std::clamp(s, -24.0f, 24.0f);
    float factor = std::exp2(s / 12.0f);
    if (!(factor > 0.05f && factor < 20.0f)) factor = 1.0f;
    pitchFactor = factor;
    logf("[rvc] Pitch-Shift %+.1f Halbtöne (%s)", s, path.c_str());
}

bool RvcConverter::loadVoice(const std::string& path, std::string& error) {
    const std::string provider =
        providerPrefEnv("KW_RVC_PROVIDER_VOICE", providerPrefEnv("KW_RVC_PROVIDER", "auto"));
    auto session = std::make_shared<OrtSessionImpl>();
    logf("[rvc] lade Stimme %s …", path.c_str());
    if (!session->load(path, provider, error)) return false;
    logf("[rvc] Stimme provider=%s", session->provider.c_str());
    readPitchFile(path);

    for (const char* name : kContractOrder) {
        if (inputIndex(*session, name) < 0) {
            error = std::string("Voice-Modell ohne Input '") + name + "' — Export-Vertrag verletzt";
            return false;
        }
    }

    const int candidates[] = {chunkSamples / kInPerFrame, 200, 100, 400, 300, 150, 50, 250};
    int accepted = 0;
    int previous = 0;
    std::vector<float> out;
    for (const int t : candidates) {
        if (t <= 0 || t % 2 != 0 || t == previous) continue;
        previous = t;
        VoiceInputs probe(t);
        std::fill(probe.pitch.begin(), probe.pitch.end(), 100);
        std::fill(probe.pitchf.begin(), probe.pitchf.end(), 150.0f);
        std::string probeError;
        if (probe.run(*session, out, probeError)) {
            accepted = t;
            break;
        }
        logf("[rvc] Probe T=%d fehlgeschlagen: %.120s", t, probeError.c_str());
    }
    if (!accepted) {
        error =
            "Voice-Modell akzeptiert keines der getesteten T (Export wahrscheinlich mit fixer "
            "Sequenzlänge getraced — Re-Export nötig)";
        return false;
    }
    if (out.size() != static_cast<size_t>(accepted) * kOutPerFrame) {
        logf("[rvc] Hinweis: T=%d → %zu Ausgangssamples (erwartet %d)", accepted, out.size(),
             accepted * kOutPerFrame);
    }
    if (accepted * kInPerFrame != chunkSamples) {
        logf("[rvc] Chunk angepasst: T=%d → %d Samples @16 kHz (%d ms)", accepted,
             accepted * kInPerFrame, accepted * 10);
        chunkSamples = accepted * kInPerFrame;
    }
    voice = session;
    voicePath = path;
    return true;
}

bool RvcConverter::convertChunk(const float* input, std::vector<float>& output,
                                std::string& error) {
    if (!ready()) {
        error = "RVC nicht bereit";
        return false;
    }
    if (chunkSamples < kInPerFrame) {
        error = "Chunk zu kurz (unter 160 Samples)";
        return false;
    }
    const int n = chunkSamples + kHistory + kLookAhead;
    const int frames = chunkSamples / kInPerFrame;

    const auto t0 = std::chrono::steady_clock::now();
    std::vector<float> melOut;
    const int m = mel.compute(input, n, melOut);
    const int padded = std::max(32, (m + 31) / 32 * 32);
    std::vector<float> melIn(static_cast<size_t>(kMelBands) * padded, 0.0f);
    for (int band = 0; band < kMelBands; ++band) {
        std::copy_n(melOut.begin() + static_cast<size_t>(band) * m, m,
                    melIn.begin() + static_cast<size_t>(band) * padded);
    }
    const auto t1 = std::chrono::steady_clock::now();

    std::vector<float> salience;
    std::vector<int64_t> shape;
    const int64_t melShape[] = {1, kMelBands, padded};
    const TensorIn melTensor{melIn.data(), melShape, 3, melIn.size(), kOnnxFloat};
    std::string runError;
    if (!ortRun(*rmvpe, &melTensor, 1, {0}, salience, shape, runError)) {
        error = "rmvpe: " + runError;
        return false;
    }
    const auto t2 = std::chrono::steady_clock::now();
    int salienceFrames = 0;
    if (shape.size() == 3 && shape[2] == kPitchBins) {
        salienceFrames = static_cast<int>(shape[1]);
    } else if (shape.size() == 3 && shape[1] == kPitchBins) {
        salienceFrames = static_cast<int>(shape[2]);
        std::vector<float> transposed(salience.size());
        for (int bin = 0; bin < kPitchBins; ++bin) {
            for (int f = 0; f < salienceFrames; ++f) {
                transposed[static_cast<size_t>(f) * kPitchBins + bin] =
                    salience[static_cast<size_t>(bin) * salienceFrames + f];
            }
        }
        salience = std::move(transposed);
    } else {
        error = "rmvpe: unerwartete Ausgabeform";
        return false;
    }

    VoiceInputs in(frames);
    const float factor = pitchFactor.load(std::memory_order_relaxed);
    for (int k = 0; k < frames; ++k) {
        const int s = k + kPitchFrameOffset;
        float f0 = s < salienceFrames
                       ? rmvpeDecodeFrame(salience.data() + static_cast<size_t>(s) * kPitchBins)
                       : 0.0f;
        if (f0 > 0.0f && factor != 1.0f) f0 *= factor;
        in.pitchf[k] = f0;
        in.pitch[k] = coarsePitch(f0);
    }

    std::vector<float> content;
    const int64_t sourceShape[] = {1, n};
    const TensorIn source{input, sourceShape, 2, static_cast<uint64_t>(n), kOnnxFloat};
    if (!ortRun(*hubert, &source, 1, {0}, content, shape, runError)) {
        error = "hubert: " + runError;
        return false;
    }
    const auto t3 = std::chrono::steady_clock::now();
    if (shape.size() != 3 || shape[2] != kFeatures) {
        error = "hubert: unerwartete Ausgabeform";
        return false;
    }
    const int contentFrames = static_cast<int>(shape[1]);
    if (contentFrames <= 0) {
        error = "hubert: leere Ausgabe";
        return false;
    }
    for (int k = 0; k < frames; ++k) {
        const int j = std::min(k / 2 + kContentFrameOffset, contentFrames - 1);
        std::copy_n(content.begin() + static_cast<size_t>(j) * kFeatures, kFeatures,
                    in.phone.begin() + static_cast<size_t>(k) * kFeatures);
    }

    auto next = [this] {
        noiseState ^= noiseState << 13;
        noiseState ^= noiseState >> 17;
        noiseState ^= noiseState << 5;
        return noiseState;
    };
    for (size_t i = 0; i < in.noise.size(); i += 2) {
        const uint32_t a = next();
        const uint32_t b = next();
        const float u = static_cast<float>(a >> 8) * 0x1p-24f + 1e-7f;
        const float r = std::sqrt(-2.0f * std::log(u));
        const float theta = 6.2831855f * static_cast<float>(b >> 8) * 0x1p-24f;
        in.noise[i] = r * std::cos(theta);
        if (i + 1 < in.noise.size()) in.noise[i + 1] = r * std::sin(theta);
    }

    std::vector<float> audio;
    if (!in.run(*voice, audio, runError)) {
        error = "voice: " + runError;
        return false;
    }
    const auto t4 = std::chrono::steady_clock::now();
    if (audio.empty()) {
        error = "voice: leere Ausgabe";
        return false;
    }

    const size_t expected = static_cast<size_t>(frames) * kOutPerFrame;
    if (audio.size() != expected) {
        logf("[rvc] Warnung: voice-Ausgabe %zu Samples, erwartet %zu — strecke linear",
             audio.size(), expected);
        std::vector<float> stretched(expected);
        const size_t last = audio.size() - 1;
        for (size_t i = 0; i < expected; ++i) {
            const float p =
                static_cast<float>(i) * static_cast<float>(last) / static_cast<float>(expected - 1);
            const auto i0 = static_cast<size_t>(p);
            const float w = p - static_cast<float>(i0);
            stretched[i] = (1.0f - w) * audio[i0] + w * audio[std::min(i0 + 1, last)];
        }
        audio = std::move(stretched);
    }
    output = std::move(audio);

    ++chunks;
    melMs += std::chrono::duration<double, std::milli>(t1 - t0).count();
    rmvpeMs += std::chrono::duration<double, std::milli>(t2 - t1).count();
    hubertMs += std::chrono::duration<double, std::milli>(t3 - t2).count();
    voiceMs += std::chrono::duration<double, std::milli>(t4 - t3).count();
    return true;
}

#include "rvc/onnx_rvc_model.h"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <exception>

namespace {

constexpr int kNetRateIn = 16000;
constexpr int kNetRateOut = 40000;
constexpr int kMaxBlockFrames = 8192;
// Device frames resampled at a time, so that the resampler's history never outgrows its reserve.
constexpr int kPushFrames = 1024;
constexpr size_t kGatherStep = 512;
constexpr size_t kFade = 400;  // 10 ms at 40 kHz

bool endsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() &&
           s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

OnnxRvcModel::OnnxRvcModel()
    : modelDir(defaultModelDir()), mono_(kMaxBlockFrames), block_(kMaxBlockFrames) {}

OnnxRvcModel::~OnnxRvcModel() {
    stopWorker();
}

void OnnxRvcModel::init(int newChannels, float newRate) {
    // The worker pushes through outResampler: it must not run while that is replaced.
    stopWorker();
    channels = newChannels;
    sampleRate = newRate;
    try {
        const int rate = static_cast<int>(newRate);
        inResampler = std::make_unique<PolyphaseResampler>(rate, kNetRateIn, 16);
        outResampler = std::make_unique<PolyphaseResampler>(kNetRateOut, rate, 12);
        const size_t perPush = static_cast<size_t>(kPushFrames) * kNetRateIn / rate + 64;
        resampled_.reserve(perPush);
    } catch (const std::exception& e) {
        rvcLog("[rvc] Resampler-Fehler: %s", e.what());
        inResampler.reset();
        outResampler.reset();
    }
    if (voiceReady && inResampler) startWorker();
}

bool OnnxRvcModel::load(const std::string& name, std::string& error) {
    stopWorker();
    voiceReady = false;
    std::string path = name;
    if (name.find_first_of("/\\") == std::string::npos) {
        path = modelDir + "/" + name;
        if (!endsWith(path, ".onnx")) path += ".onnx";
    }
    if (!converter.init(modelDir, error) || !converter.loadVoice(path, error)) return false;
    baseFactor = converter.pitchFactor;
    semitones = 0.0f;

    const int window = converter.chunkSamples + RvcConverter::kHistory + RvcConverter::kLookAhead;
    std::vector<float> zeros(static_cast<size_t>(window), 0.0f), ignored;
    std::string warmUpError;
    converter.convertChunk(zeros.data(), ignored, warmUpError);

    inFifo.clear();
    outFifo.clear();
    history_.assign(RvcConverter::kHistory, 0.0f);
    pending_.clear();
    tail_.clear();
    hasTail_ = false;
    if (inResampler) inResampler->reset();
    if (outResampler) outResampler->reset();
    currentVoice = path;
    voiceReady = true;
    chunksDone = 0;
    if (inResampler) startWorker();
    rvcLog("[rvc] Stimme geladen: %s (chunk %d ms, provider=%s)", path.c_str(),
           converter.chunkSamples / 16, converter.voiceProvider().c_str());
    return true;
}

void OnnxRvcModel::push16k(const float* mono, size_t n) {
    resampled_.clear();
    inResampler->push(mono, n, resampled_);
    if (resampled_.empty()) return;
    const size_t written = inFifo.write(resampled_.data(), resampled_.size());
    // Counted here, reported by the worker: the capture thread does no I/O.
    if (written < resampled_.size()) droppedIn_.fetch_add(resampled_.size() - written);
    wake = true;
}

void OnnxRvcModel::process(float* buffer, int frames) {
    if (!voiceReady || !inResampler || frames < 1 || frames > kMaxBlockFrames) return;
    for (int i = 0; i < frames; ++i) {
        float sum = 0.0f;
        for (int c = 0; c < channels; ++c) sum += buffer[i * channels + c];
        mono_[i] = sum / static_cast<float>(channels);
    }
    for (int start = 0; start < frames; start += kPushFrames) {
        push16k(mono_.data() + start, static_cast<size_t>(std::min(kPushFrames, frames - start)));
    }
    if (chunksDone == 0) return;  // priming: the captured signal passes unchanged

    const size_t got = outFifo.read(block_.data(), static_cast<size_t>(frames));
    std::fill(block_.begin() + got, block_.begin() + frames, 0.0f);
    for (int i = 0; i < frames; ++i) {
        for (int c = 0; c < channels; ++c) buffer[i * channels + c] = block_[i];
    }
}

int OnnxRvcModel::latencySamples() const {
    if (!voiceReady) return 0;
    const double input =
        static_cast<double>(inFifo.fill() + converter.chunkSamples + RvcConverter::kLookAhead) *
        sampleRate / kNetRateIn;
    return static_cast<int>(input + static_cast<double>(outFifo.fill()) +
                            lastChunkMs.load() * 0.001 * sampleRate);
}

void OnnxRvcModel::setPitchSemitones(float s) {
    semitones = std::clamp(s, -12.0f, 12.0f);
    float factor = baseFactor * std::exp2(semitones / 12.0f);
    if (!(factor > 0.05f && factor < 20.0f)) factor = 1.0f;
    converter.pitchFactor.store(factor, std::memory_order_relaxed);
}

void OnnxRvcModel::startWorker() {
    running = true;
    worker_ = std::thread([this] { workerMain(); });
}

void OnnxRvcModel::stopWorker() {
    running = false;
    wake = true;
    if (worker_.joinable()) worker_.join();
}

void OnnxRvcModel::workerMain() {
    while (running) {
        if (const size_t dropped = droppedIn_.exchange(0)) {
            rvcLog("[rvc] Warnung: Eingangs-FIFO voll — %zu Samples verworfen", dropped);
        }
        if (convertAvailableChunk()) continue;
        wake = false;
        for (int step = 0; step < 50 && running && !wake; ++step) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
}

bool OnnxRvcModel::convertAvailableChunk() {
    const size_t chunk = static_cast<size_t>(converter.chunkSamples);
    const size_t need = chunk + RvcConverter::kLookAhead;
    while (pending_.size() < need) {
        const size_t want = std::min(need - pending_.size(), kGatherStep);
        const size_t old = pending_.size();
        pending_.resize(old + want);
        const size_t got = inFifo.read(pending_.data() + old, want);
        pending_.resize(old + got);
        if (got == 0) return false;
    }

    window_.assign(history_.begin(), history_.end());
    window_.insert(window_.end(), pending_.begin(), pending_.begin() + static_cast<long>(need));
    std::vector<float>& out = converted_;
    const auto t0 = std::chrono::steady_clock::now();
    const bool converted = converter.convertChunk(window_.data(), out, error_);
    lastChunkMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    if (!converted) {
        rvcLog("[rvc] Chunk-Fehler: %s", error_.c_str());
        out.assign(chunk * 5 / 2, 0.0f);
    }

    if (out.size() > kFade) {
        for (size_t i = 0; i < kFade; ++i) {
            const float a = static_cast<float>(i) / static_cast<float>(kFade);
            out[i] =
                hasTail_ && tail_.size() == kFade ? a * out[i] + (1.0f - a) * tail_[i] : a * out[i];
        }
        tail_.assign(out.end() - kFade, out.end());
        hasTail_ = true;
    }

    if (outResampler) {
        resampledOut_.clear();
        outResampler->push(out.data(), out.size(), resampledOut_);
        const size_t written = outFifo.write(resampledOut_.data(), resampledOut_.size());
        if (written < resampledOut_.size()) {
            rvcLog("[rvc] Warnung: Ausgangs-FIFO voll — %zu Samples verworfen",
                   resampledOut_.size() - written);
        }
    }
    ++chunksDone;

    history_.assign(pending_.begin() + static_cast<long>(chunk - RvcConverter::kHistory),
                    pending_.begin() + static_cast<long>(chunk));
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(chunk));
    return true;
}

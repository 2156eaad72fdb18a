#include "rvc/onnx_rvc_model.h"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <exception>

#include "platform/diagnostics.h"

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

OnnxRvcModel::OnnxRvcModel(std::string modelDir)
    : modelDir_(std::move(modelDir)), mono_(kMaxBlockFrames), block_(kMaxBlockFrames) {}

OnnxRvcModel::~OnnxRvcModel() {
    stopWorker();
}

void OnnxRvcModel::init(int newChannels, float newRate) {
    // The worker pushes through outResampler_: it must not run while that is replaced.
    stopWorker();
    channels_ = newChannels;
    sampleRate_ = newRate;
    try {
        const int rate = static_cast<int>(newRate);
        inResampler_ = std::make_unique<PolyphaseResampler>(rate, kNetRateIn, 16);
        outResampler_ = std::make_unique<PolyphaseResampler>(kNetRateOut, rate, 12);
        const size_t perPush = static_cast<size_t>(kPushFrames) * kNetRateIn / rate + 64;
        resampled_.reserve(perPush);
    } catch (const std::exception& e) {
        logf("[rvc] Resampler-Fehler: %s", e.what());
        inResampler_.reset();
        outResampler_.reset();
    }
    if (voiceReady_ && inResampler_) startWorker();
}

bool OnnxRvcModel::load(const std::string& name, std::string& error) {
    stopWorker();
    voiceReady_ = false;
    std::string path = name;
    if (name.find_first_of("/\\") == std::string::npos) {
        path = modelDir_ + "/" + name;
        if (!endsWith(path, ".onnx")) path += ".onnx";
    }
    if (!converter_.init(modelDir_, error) || !converter_.loadVoice(path, error)) return false;
    baseFactor_ = converter_.pitchFactor;

    const int window = converter_.chunkSamples + RvcConverter::kHistory + RvcConverter::kLookAhead;
    std::vector<float> zeros(static_cast<size_t>(window), 0.0f), ignored;
    std::string warmUpError;
    converter_.convertChunk(zeros.data(), ignored, warmUpError);

    inFifo_.clear();
    outFifo_.clear();
    history_.assign(RvcConverter::kHistory, 0.0f);
    pending_.clear();
    tail_.clear();
    hasTail_ = false;
    if (inResampler_) inResampler_->reset();
    if (outResampler_) outResampler_->reset();
    currentVoice_ = path;
    voiceReady_ = true;
    chunksDone_ = 0;
    if (inResampler_) startWorker();
    logf("[rvc] Stimme geladen: %s (chunk %d ms, provider=%s)", path.c_str(),
         converter_.chunkSamples / 16, converter_.voiceProvider().c_str());
    return true;
}

void OnnxRvcModel::push16k(const float* mono, size_t n) {
    resampled_.clear();
    inResampler_->push(mono, n, resampled_);
    if (resampled_.empty()) return;
    const size_t written = inFifo_.write(resampled_.data(), resampled_.size());
    // Counted here, reported by the worker: the capture thread does no I/O.
    if (written < resampled_.size()) droppedIn_.fetch_add(resampled_.size() - written);
    wake_ = true;
}

void OnnxRvcModel::process(float* buffer, int frames) {
    if (!voiceReady_ || !inResampler_ || frames < 1 || frames > kMaxBlockFrames) return;
    for (int i = 0; i < frames; ++i) {
        float sum = 0.0f;
        for (int c = 0; c < channels_; ++c) sum += buffer[i * channels_ + c];
        mono_[i] = sum / static_cast<float>(channels_);
    }
    for (int start = 0; start < frames; start += kPushFrames) {
        push16k(mono_.data() + start, static_cast<size_t>(std::min(kPushFrames, frames - start)));
    }
    if (chunksDone_ == 0) return;  // priming: the captured signal passes unchanged

    const size_t got = outFifo_.read(block_.data(), static_cast<size_t>(frames));
    std::fill(block_.begin() + got, block_.begin() + frames, 0.0f);
    for (int i = 0; i < frames; ++i) {
        for (int c = 0; c < channels_; ++c) buffer[i * channels_ + c] = block_[i];
    }
}

OnnxRvcModel::Figures OnnxRvcModel::figures() const {
    return {inFifo_.fill(), outFifo_.fill(), lastChunkMs_.load(), chunksDone_.load(),
            converter_.chunkSamples};
}

int OnnxRvcModel::latencySamples() const {
    if (!voiceReady_) return 0;
    const double input =
        static_cast<double>(inFifo_.fill() + converter_.chunkSamples + RvcConverter::kLookAhead) *
        sampleRate_ / kNetRateIn;
    return static_cast<int>(input + static_cast<double>(outFifo_.fill()) +
                            lastChunkMs_.load() * 0.001 * sampleRate_);
}

bool OnnxRvcModel::setParam(const std::string& name, double value, std::string&) {
    if (name != "pitch") return false;
    setPitchSemitones(static_cast<float>(value));
    return true;
}

void OnnxRvcModel::setPitchSemitones(float semitones) {
    float factor = baseFactor_ * std::exp2(std::clamp(semitones, -12.0f, 12.0f) / 12.0f);
    if (!(factor > 0.05f && factor < 20.0f)) factor = 1.0f;
    converter_.pitchFactor.store(factor, std::memory_order_relaxed);
}

void OnnxRvcModel::startWorker() {
    running_ = true;
    worker_ = std::thread([this] { workerMain(); });
}

void OnnxRvcModel::stopWorker() {
    running_ = false;
    wake_ = true;
    if (worker_.joinable()) worker_.join();
}

void OnnxRvcModel::workerMain() {
    while (running_) {
        if (const size_t dropped = droppedIn_.exchange(0)) {
            logf("[rvc] Warnung: Eingangs-FIFO voll — %zu Samples verworfen", dropped);
        }
        if (convertAvailableChunk()) continue;
        wake_ = false;
        for (int step = 0; step < 50 && running_ && !wake_; ++step) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
}

bool OnnxRvcModel::convertAvailableChunk() {
    const size_t chunk = static_cast<size_t>(converter_.chunkSamples);
    const size_t need = chunk + RvcConverter::kLookAhead;
    while (pending_.size() < need) {
        const size_t want = std::min(need - pending_.size(), kGatherStep);
        const size_t old = pending_.size();
        pending_.resize(old + want);
        const size_t got = inFifo_.read(pending_.data() + old, want);
        pending_.resize(old + got);
        if (got == 0) return false;
    }

    window_.assign(history_.begin(), history_.end());
    window_.insert(window_.end(), pending_.begin(), pending_.begin() + static_cast<long>(need));
    std::vector<float>& out = converted_;
    const auto t0 = std::chrono::steady_clock::now();
    const bool converted = converter_.convertChunk(window_.data(), out, error_);
    lastChunkMs_ =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    if (!converted) {
        logf("[rvc] Chunk-Fehler: %s", error_.c_str());
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

    if (outResampler_) {
        resampledOut_.clear();
        outResampler_->push(out.data(), out.size(), resampledOut_);
        const size_t written = outFifo_.write(resampledOut_.data(), resampledOut_.size());
        if (written < resampledOut_.size()) {
            logf("[rvc] Warnung: Ausgangs-FIFO voll — %zu Samples verworfen",
                 resampledOut_.size() - written);
        }
    }
    ++chunksDone_;

    history_.assign(pending_.begin() + static_cast<long>(chunk - RvcConverter::kHistory),
                    pending_.begin() + static_cast<long>(chunk));
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(chunk));
    return true;
}

#include "engine/audio_path.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>
#include <utility>

#include "engine/dsp_voice_model.h"

namespace {

// How long a changed output gain takes to reach its new value.
constexpr double kGlideSeconds = 0.01;

}  // namespace

AudioPath::AudioPath(std::unique_ptr<VoiceModel> voice) : voice_(voice.release()) {}

AudioPath::~AudioPath() {
    delete voice_.load();
    delete incoming_.load();
    retire(playing_);
    freeRetiredClips();
}

void AudioPath::openOutput(Output output) {
    feeds_[output] = std::make_unique<Feed>();
}

void AudioPath::setOutputFormat(Output output, const OutputFeed::Format& format) {
    feeds_[output]->format = format;
}

void AudioPath::begin(int channels, int sampleRate, double capturePeriodMs,
                      OutputFeed::Clock clock) {
    channels_ = channels;
    sampleRate_ = sampleRate;
    const size_t most = static_cast<size_t>(kMaxBlockFrames) * channels;
    buf_.assign(most, 0.0f);
    clipBlock_.assign(most, 0.0f);
    silence_.assign(most, 0.0f);
    voice().init(channels, static_cast<float>(sampleRate));
    effects_.init(channels, static_cast<float>(sampleRate));
    effects_.setParams(effectsControl_);
    DspParams taken;
    effectsPending_.read(taken);  // the record above holds it already
    appliedGain_.reset(gain_);
    for (const auto& feed : feeds_) {
        if (feed) feed->feed.prepare(sampleRate, channels, capturePeriodMs, feed->format, clock);
    }
    running_.store(true, std::memory_order_release);
}

void AudioPath::end() {
    running_.store(false);
}

void AudioPath::closeOutput(Output output) {
    feeds_[output].reset();
    freeRetiredClips();
}

std::unique_ptr<VoiceModel> AudioPath::swapVoice(std::unique_ptr<VoiceModel> next) {
    VoiceModel* old = voice_.exchange(next.release());
    // A block that read the old voice before the exchange may still be in it: wait for its end,
    // at most one block. A block that starts later reads the new one.
    const uint64_t seen = blocks_.load();
    while (inBlock_.load() && blocks_.load() == seen) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    freeRetiredClips();
    return std::unique_ptr<VoiceModel>(old);
}

bool AudioPath::setParam(const std::string& name, double value, std::string& err) {
    if (name == "gain") {
        gain_ = static_cast<float>(std::clamp(value, 0.0, 2.0));
        return true;
    }
    VoiceModel& v = voice();
    if (v.setParam(name, value, err)) return true;
    if (!err.empty()) return false;
    if (!v.wantsEffectsAfter()) {
        err = "kein Modell aktiv";
        return false;
    }
    if (!applyDspParam(effectsControl_, name, value, err)) return false;
    effectsPending_.write(effectsControl_);
    return true;
}

void AudioPath::play(std::vector<float> clip) {
    freeRetiredClips();
    // A clip the capture thread has not taken yet is still the command thread's to free.
    delete incoming_.exchange(new Clip{std::move(clip)});
}

bool AudioPath::clipPlaying() const {
    // Only the command thread frees clips, so the one waiting cannot go away meanwhile.
    const Clip* waiting = incoming_.load();
    return waiting ? !waiting->samples.empty() : clipSounding_.load();
}

double AudioPath::queuedMs(Output output) const {
    return feeds_[output] ? feeds_[output]->feed.queuedMs() : 0.0;
}

uint64_t AudioPath::discardedFrames() const {
    uint64_t dropped = 0;
    for (const auto& feed : feeds_) dropped += feed ? feed->feed.droppedFrames() : 0;
    return dropped;
}

void AudioPath::retire(Clip* clip) {
    if (!clip) return;
    clip->next = retired_.load(std::memory_order_relaxed);
    while (!retired_.compare_exchange_weak(clip->next, clip, std::memory_order_release,
                                           std::memory_order_relaxed)) {
    }
}

void AudioPath::freeRetiredClips() {
    for (Clip* clip = retired_.exchange(nullptr, std::memory_order_acquire); clip;) {
        delete std::exchange(clip, clip->next);
    }
}

void AudioPath::capture(const float* in, int frames) {
    if (!running_.load(std::memory_order_acquire)) return;
    if (frames < 1 || frames > kMaxBlockFrames) return;
    const size_t n = static_cast<size_t>(channels_) * frames;
    float* buf = buf_.data();
    std::copy_n(in, n, buf);
    if (muted_) std::fill_n(buf, n, 0.0f);

    float peak = 0.0f;
    for (size_t i = 0; i < n; ++i) peak = std::max(peak, std::fabs(buf[i]));
    level_.exchange(std::max(level_.load() * 0.92f, peak));

    const auto t0 = std::chrono::steady_clock::now();
    inBlock_.store(true);  // before the voice is read, so that swapVoice sees the block
    VoiceModel* voice = voice_.load();
    voice->process(buf, frames);
    if (voice->wantsEffectsAfter()) {
        DspParams next;
        if (effectsPending_.read(next)) effects_.update(next);
        effects_.process(buf, frames);
    }
    inBlock_.store(false);
    blocks_.fetch_add(1);
    const auto t1 = std::chrono::steady_clock::now();
    const double dt = std::chrono::duration<double, std::micro>(t1 - t0).count();
    procUsPerBlock_.exchange(procUsPerBlock_.load() * 0.9 + dt * 0.1);

    appliedGain_.setTarget(gain_.load(), static_cast<int>(sampleRate_ * kGlideSeconds));
    if (appliedGain_.gliding() || appliedGain_.target() != 1.0f) {
        for (int f = 0; f < frames; ++f) {
            const float g = appliedGain_.next();
            for (int c = 0; c < channels_; ++c) buf[f * channels_ + c] *= g;
        }
    }

    float* clip = clipBlock_.data();
    size_t mixed = 0;
    mixClip(buf, n, clip, mixed);

    if (Feed* cable = feeds_[kCable].get()) cable->feed.write(buf, n);
    if (Feed* monitor = feeds_[kMonitor].get()) {
        if (monitor_ > 0.0f) {
            monitor->feed.write(buf, n);
        } else {
            monitor->feed.write(clip, mixed);
            monitor->feed.write(silence_.data(), n - mixed);
        }
    }
}

// The playing clip's next n samples at the clip volume, into clipOut and, limited to +-1 together
// with the voice, into buf; mixed tells how many there were.
void AudioPath::mixClip(float* buf, size_t n, float* clipOut, size_t& mixed) {
    if (Clip* next = incoming_.exchange(nullptr, std::memory_order_acq_rel)) {
        retire(playing_);
        playing_ = next;
    }
    if (playing_) {
        const size_t left = playing_->samples.size() - playing_->position;
        mixed = std::min(left, n);
        const float volume = clipVolume_;
        const float* samples = playing_->samples.data() + playing_->position;
        for (size_t i = 0; i < mixed; ++i) clipOut[i] = samples[i] * volume;
        playing_->position += mixed;
        if (playing_->position >= playing_->samples.size()) {
            retire(playing_);
            playing_ = nullptr;
        }
    }
    clipSounding_.store(playing_ != nullptr, std::memory_order_relaxed);
    for (size_t i = 0; i < mixed; ++i) buf[i] = std::clamp(buf[i] + clipOut[i], -1.0f, 1.0f);
}

int AudioPath::render(Output output, float* out, int frames, int channels,
                      uint32_t serverUnderruns) {
    return feeds_[output]->feed.render(out, frames, channels, serverUnderruns);
}

#include "engine/engine.h"

#include <algorithm>

#include "dsp/presets.h"
#include "engine/dsp_voice_model.h"
#include "platform/diagnostics.h"

namespace {

// Reopening devices that went away: at once, then doubling to once a second.
constexpr double kFirstRetrySeconds = 0.125;
constexpr double kLastRetrySeconds = 1.0;

// The rates and channel counts the engine converts between.
bool servable(const KwStreamFormat& f) {
    return f.channels >= 1 && f.channels <= AudioPath::kMaxChannels && f.sampleRate >= 8000 &&
           f.sampleRate <= 384000;
}

std::string unservable(const KwStreamFormat& f) {
    return "Format " + std::to_string(f.sampleRate) + " Hz/" + std::to_string(f.channels) +
           " ch nicht unterstützt (8000–384000 Hz, 1–" + std::to_string(AudioPath::kMaxChannels) +
           " Kanäle)";
}

std::unique_ptr<VoiceModel> presetVoice(const std::string& name, int channels, int sampleRate,
                                        std::string& err) {
    auto voice = std::make_unique<DspVoiceModel>();
    voice->init(channels, static_cast<float>(sampleRate));
    if (!voice->load(name, err)) return nullptr;
    return voice;
}

}  // namespace

Engine::Engine(std::string modelDir, const NeuralVoices* neural)
    : neural_(neural), path_(std::make_unique<DspVoiceModel>()), modelDir_(std::move(modelDir)) {
    std::string err;
    path_.voice().load("original", err);
}

Engine::~Engine() {
    stop();
}

void Engine::setInput(const std::string& name) {
    std::lock_guard lock(mutex_);
    inputName_ = name;
}

void Engine::setOutput(const std::string& name) {
    std::lock_guard lock(mutex_);
    outputName_ = name;
}

void Engine::sbPlay(std::vector<float> clip) {
    std::lock_guard lock(mutex_);
    path_.play(std::move(clip));
}

void Engine::sbStop() {
    std::lock_guard lock(mutex_);
    path_.stopClip();
}

bool Engine::sbPlaying() const {
    std::lock_guard lock(mutex_);
    return path_.clipPlaying();
}

std::string Engine::modelDir() const {
    std::lock_guard lock(mutex_);
    return modelDir_;
}

void Engine::setModelDir(const std::string& dir) {
    std::lock_guard lock(mutex_);
    modelDir_ = dir;
}

bool Engine::openOutput(AudioPath::Output output, std::unique_ptr<KwRender>& stream,
                        const std::string& id, std::string& err) {
    // The ring first: the stream reads it from its first callback on.
    path_.openOutput(output);
    stream = std::make_unique<KwRender>();
    const KwRender* s = stream.get();
    const auto play = [this, output, s](float* buf, int frames) {
        return path_.render(output, buf, frames, s->format().channels, s->underflows());
    };
    if (stream->open(id, play, err)) {
        const KwStreamFormat& f = stream->format();
        if (servable(f)) {
            path_.setOutputFormat(output, {f.sampleRate, f.channels, f.periodMs, f.maxFrames});
            return true;
        }
        err = unservable(f);
    }
    stream.reset();
    path_.closeOutput(output);
    return false;
}

bool Engine::start(std::string& err) {
    std::lock_guard lock(mutex_);
    if (running_ && !streamsFailed()) return true;
    close();
    if (!open(err)) return false;
    wanted_ = true;
    cableWanted_ = cableActive_;
    nextAttempt_ = kwNow() + kLastRetrySeconds;
    return true;
}

void Engine::stop() {
    std::lock_guard lock(mutex_);
    wanted_ = false;
    close();
}

void Engine::service() {
    std::lock_guard lock(mutex_);
    if (!wanted_) return;
    const double now = kwNow();
    if (now < nextAttempt_ && (!running_ || !streamsFailed())) return;
    if (running_ && !streamsFailed()) {
        // A cable that went away alone leaves the engine running; look for it now and then.
        nextAttempt_ = now + kLastRetrySeconds;
        std::string id, name;
        if (!cableWanted_ || cableActive_ || !kwFindCable(id, name)) return;
    } else if (running_) {
        logf("[engine] Audiogeräte verloren — öffne sie wieder, sobald sie zurück sind");
        retryAfter_ = kFirstRetrySeconds;
    }
    close();
    std::string err;
    if (open(err)) {
        logf("[engine] Audiogeräte wieder geöffnet");
        nextAttempt_ = now + kLastRetrySeconds;
        return;
    }
    nextAttempt_ = now + retryAfter_;
    retryAfter_ = std::min(2 * retryAfter_, kLastRetrySeconds);
}

bool Engine::streamsFailed() const {
    return capture_.failed() || (monitorOut_ && monitorOut_->failed()) ||
           (cableOut_ && cableOut_->failed());
}

bool Engine::open(std::string& err) {
    const std::string captureId = kwResolveDevice(inputName_, true);
    const std::string monitorId = kwResolveDevice(outputName_, false);

    std::string streamErr;
    if (!openOutput(AudioPath::kMonitor, monitorOut_, monitorId, streamErr)) {
        err = "Monitor-Output: " + streamErr;
        return false;
    }
    cableActive_ = false;
    std::string cableId, cableName;
    if (kwFindCable(cableId, cableName)) {
        std::string ignored;
        cableActive_ = openOutput(AudioPath::kCable, cableOut_, cableId, ignored);
    }
    const auto captured = [this](const float* in, int frames) { path_.capture(in, frames); };
    if (!capture_.open(captureId, captured, streamErr)) {
        err = "Capture: " + streamErr;
        closeStreams();
        return false;
    }
    const KwStreamFormat& format = capture_.format();
    if (!servable(format)) {
        err = "Capture: " + unservable(format);
        close();
        return false;
    }
    sampleRate_ = format.sampleRate;
    channels_ = format.channels;
    captureLatencyMs_ = format.periodMs;
    renderLatencyMs_ = monitorOut_->format().periodMs;
    path_.begin(channels_, sampleRate_, captureLatencyMs_, kwNow);
    running_ = true;
    return true;
}

void Engine::closeStreams() {
    capture_.close();
    if (monitorOut_) monitorOut_->close();
    if (cableOut_) cableOut_->close();
    monitorOut_.reset();
    cableOut_.reset();
    path_.closeOutput(AudioPath::kMonitor);
    path_.closeOutput(AudioPath::kCable);
    cableActive_ = false;
}

void Engine::close() {
    path_.end();  // the capture callback drops blocks from here on
    running_ = false;
    closeStreams();
}

bool Engine::setVoice(const std::string& name, std::string& err) {
    std::lock_guard lock(mutex_);
    std::unique_ptr<VoiceModel> next;
    if (name != "original" && name != "bypass" && neural_ && neural_->isVoice(modelDir_, name)) {
        // Loading takes seconds; meanwhile the old voice goes on sounding.
        next = neural_->load(modelDir_, name, channels_, static_cast<float>(sampleRate_), err);
    } else {
        bool known = false;
        presetByName(name, known);
        if (!known) {
            err = "unbekannte Stimme: " + name + " (weder RVC-Modell noch DSP-Preset)";
            return false;
        }
        next = presetVoice(name, channels_, sampleRate_, err);
    }
    if (!next) return false;
    path_.swapVoice(std::move(next));  // the old voice, and a neural voice's worker, end here
    voiceName_ = name;
    return true;
}

bool Engine::setParam(const std::string& name, double value, std::string& err) {
    std::lock_guard lock(mutex_);
    return path_.setParam(name, value, err);
}

bool Engine::setMuted(bool muted) {
    std::lock_guard lock(mutex_);
    path_.setMuted(muted);
    return path_.muted();
}

bool Engine::setMonitor(bool on) {
    std::lock_guard lock(mutex_);
    path_.setMonitor(on);
    return path_.monitoring();
}

float Engine::setClipVolume(float volume) {
    std::lock_guard lock(mutex_);
    path_.setClipVolume(std::min(std::max(volume, 0.0f), 1.0f));
    return path_.clipVolume();
}

std::vector<std::string> Engine::neuralVoices() const {
    std::lock_guard lock(mutex_);
    return neural_ ? neural_->list(modelDir_) : std::vector<std::string>{};
}

double Engine::latencyMs() const {
    const double modelPart = path_.voice().latencySamples() * 1000.0 / sampleRate_;
    const OutputFeed* monitor = path_.feed(AudioPath::kMonitor);
    const double conversion = monitor ? monitor->conversionDelayMs() : 0.0;
    return modelPart + captureLatencyMs_ + renderLatencyMs_ + path_.queuedMs(AudioPath::kMonitor) +
           conversion;
}

EngineStatus Engine::status() const {
    std::lock_guard lock(mutex_);
    EngineStatus s;
    s.running = running_ && !streamsFailed();
    s.engine = path_.voice().kind();
    s.voice = voiceName_;
    s.sampleRate = sampleRate_;
    s.channels = channels_;
    s.cableActive = cableActive_ && s.running;
    s.latencyMs = latencyMs();
    s.level = path_.level();
    s.muted = path_.muted();
    s.monitor = path_.monitoring();
    s.procUsPerBlock = path_.procUsPerBlock();
    s.discardedFrames = path_.discardedFrames();
    s.capturePeriodMs = captureLatencyMs_;
    const auto figures = [this](const std::unique_ptr<KwRender>& stream, AudioPath::Output output) {
        EngineStatus::Output o;
        const OutputFeed* feed = path_.feed(output);
        if (!stream || !feed) return o;
        o.periodMs = stream->format().periodMs;
        o.queuedMs = feed->queuedMs();
        o.cushionMs = feed->cushionMs();
        o.ratioPpm = feed->ratioPpm();
        o.conversionMs = feed->conversionDelayMs();
        o.underruns = stream->underruns();
        return o;
    };
    s.monitorOut = figures(monitorOut_, AudioPath::kMonitor);
    s.cableOut = figures(cableOut_, AudioPath::kCable);
    s.underruns = s.monitorOut.underruns + s.cableOut.underruns;
    return s;
}

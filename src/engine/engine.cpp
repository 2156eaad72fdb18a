#include "engine/engine.h"

#include <algorithm>

#include "dsp/presets.h"
#include "engine/dsp_voice_model.h"

namespace {

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

bool Engine::openOutput(AudioPath::Output output, std::unique_ptr<KwRender>& stream,
                        const std::string& id, std::string& err) {
    // The ring first: the stream reads it from its first callback on.
    path_.openOutput(output);
    stream = std::make_unique<KwRender>();
    const KwRender* s = stream.get();
    const auto play = [this, output, s](float* buf, int frames) {
        return path_.render(output, buf, frames, s->underflows());
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
    if (running_) return true;
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
        stop();
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

void Engine::stop() {
    path_.end();  // the capture callback drops blocks from here on
    running_ = false;
    closeStreams();
}

bool Engine::setVoice(const std::string& name, std::string& err) {
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
    return path_.setParam(name, value, err);
}

bool Engine::setMuted(bool muted) {
    path_.setMuted(muted);
    return path_.muted();
}

bool Engine::setMonitor(bool on) {
    path_.setMonitor(on);
    return path_.monitoring();
}

float Engine::setClipVolume(float volume) {
    path_.setClipVolume(std::min(std::max(volume, 0.0f), 1.0f));
    return path_.clipVolume();
}

std::vector<std::string> Engine::neuralVoices() const {
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
    EngineStatus s;
    s.running = running_;
    s.engine = path_.voice().kind();
    s.voice = voiceName_;
    s.sampleRate = sampleRate_;
    s.channels = channels_;
    s.cableActive = cableActive_;
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

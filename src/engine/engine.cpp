#include "engine/engine.h"

#include "engine/dsp_voice_model.h"
#include "rvc/rvc_converter.h"

namespace {

// An output that falls behind the capture (a stream that started late, a stall, a render clock
// slower than the capture clock) would keep the voice delayed for the rest of the session.
// Backlog beyond two capture periods is dropped at once; beyond that, once a second, whatever the
// ring held throughout the second above one request and two capture blocks is dropped, so the
// delay returns to its minimum after every hiccup.
constexpr double kBacklogPeriods = 2.0;
constexpr size_t kCushionBlocks = 2;

}  // namespace

Engine::Engine()
    : model(std::make_unique<DspVoiceModel>()),
      modelDir(defaultModelDir()),
      buf_(kMaxBlockFrames * kMaxChannels),
      sbBlock_(kMaxBlockFrames * kMaxChannels),
      silence_(kMaxBlockFrames * kMaxChannels) {
    std::string err;
    model->load("original", err);
}

Engine::~Engine() {
    stop();
}

bool Engine::openRender(std::unique_ptr<KwRender>& out, std::unique_ptr<RingBuffer>& ring,
                        LagWindow& lag, const std::string& id, std::string& err) {
    out = std::make_unique<KwRender>();
    ring = std::make_unique<RingBuffer>();
    lag = LagWindow{};
    RingBuffer* r = ring.get();
    KwRender* s = out.get();
    LagWindow* l = &lag;
    if (out->open(
            id, [this, r, l, s](float* buf, int frames) { return render(*r, *l, *s, buf, frames); },
            err)) {
        return true;
    }
    out.reset();
    ring.reset();
    return false;
}

int Engine::render(RingBuffer& ring, LagWindow& lag, const KwRender& stream, float* out,
                   int frames) {
    const BacklogLimits limits{
        backlogSamples_.load(std::memory_order_relaxed),
        kCushionBlocks * largestCaptureBlock_.load(std::memory_order_relaxed)};
    uint64_t dropped = 0;
    const int got =
        renderFromRing(ring, lag, stream.channels, stream.sampleRate, limits, out, frames, dropped);
    if (dropped) discarded_.fetch_add(dropped, std::memory_order_relaxed);
    return got;
}

bool Engine::start(std::string& err) {
    if (running) return true;
    const std::string captureId = kwResolveDevice(inputName, true);
    const std::string monitorId = kwResolveDevice(outputName, false);

    std::string streamErr;
    if (!openRender(monitorOut, monitorRing, monitorLag_, monitorId, streamErr)) {
        err = "Monitor-Output: " + streamErr;
        return false;
    }
    cableActive = false;
    std::string cableId, cableName;
    if (kwFindCable(cableId, cableName)) {
        std::string ignored;
        cableActive = openRender(cableOut, cableRing, cableLag_, cableId, ignored);
    }

    const auto captureBlock = [this](const float* in, int frames) { onCapture(in, frames); };
    if (!capture.open(captureId, captureBlock, streamErr)) {
        err = "Capture: " + streamErr;
        closeStreams();
        return false;
    }
    sampleRate = capture.sampleRate;
    channels = capture.channels;
    captureLatencyMs = capture.periodMs;
    renderLatencyMs = monitorOut->periodMs;

    if (monitorOut->sampleRate != capture.sampleRate || monitorOut->channels != capture.channels) {
        err = "Sampleraten/Kanäle von Capture (" + std::to_string(capture.sampleRate) + " Hz/" +
              std::to_string(capture.channels) + " ch) und Render (" +
              std::to_string(monitorOut->sampleRate) + " Hz/" +
              std::to_string(monitorOut->channels) +
              " ch) weichen ab — Resampling ist noch nicht drin";
        stop();
        return false;
    }

    if (channels > kMaxChannels) {
        err = "Capture hat " + std::to_string(channels) + " Kanäle — höchstens " +
              std::to_string(kMaxChannels) + " werden unterstützt";
        stop();
        return false;
    }
    // Until the first second of capture has been measured, a block counts as a whole period.
    largestCaptureBlock_ =
        static_cast<size_t>(captureLatencyMs * sampleRate / 1000.0) * static_cast<size_t>(channels);
    blockWindow_ = {};
    backlogSamples_ =
        static_cast<size_t>(kBacklogPeriods * captureLatencyMs * sampleRate / 1000.0) *
        static_cast<size_t>(channels);
    {
        std::lock_guard lock(modelMutex);
        model->init(channels, static_cast<float>(sampleRate));
        postChain.init(channels, static_cast<float>(sampleRate));
    }
    running = true;
    return true;
}

void Engine::closeStreams() {
    capture.close();
    if (monitorOut) monitorOut->close();
    if (cableOut) cableOut->close();
    monitorOut.reset();
    cableOut.reset();
    monitorRing.reset();
    cableRing.reset();
    cableActive = false;
}

void Engine::stop() {
    running = false;
    closeStreams();
}

double Engine::latencyMs() const {
    const double modelPart = model->latencySamples() * 1000.0 / sampleRate;
    const double bufferPart =
        monitorRing ? monitorRing->fill() * 1000.0 / (static_cast<double>(sampleRate) * channels)
                    : 0.0;
    return modelPart + captureLatencyMs + renderLatencyMs + bufferPart;
}

uint32_t Engine::underruns() const {
    uint32_t total = 0;
    if (monitorOut) total += monitorOut->underruns.load();
    if (cableOut) total += cableOut->underruns.load();
    return total;
}

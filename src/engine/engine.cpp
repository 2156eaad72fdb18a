#include "engine/engine.h"

#include <cstdlib>

#include "engine/dsp_voice_model.h"

namespace {

// Capture periods of backlog a render stream may lag behind before its oldest samples are
// dropped: enough to ride out the jitter of capture blocks, small enough that a late or slow
// output cannot leave the voice delayed for the rest of the session.
constexpr double kBacklogPeriods = 2.0;

std::string defaultModelDir() {
    const char* env = std::getenv("KW_MODEL_DIR");
    return env && *env ? env : "D:/kw-models/onnx-dyn";
}

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
                        const std::string& id, std::string& err) {
    out = std::make_unique<KwRender>();
    ring = std::make_unique<RingBuffer>();
    RingBuffer* r = ring.get();
    KwRender* s = out.get();
    if (out->open(
            id, [this, r, s](float* buf, int frames) { return render(*r, *s, buf, frames); },
            err)) {
        return true;
    }
    out.reset();
    ring.reset();
    return false;
}

int Engine::render(RingBuffer& ring, const KwRender& stream, float* out, int frames) {
    const size_t want = static_cast<size_t>(frames) * stream.channels;
    const size_t dropped = ring.trimTo(want + backlogSamples_.load(std::memory_order_relaxed));
    if (dropped) discarded_.fetch_add(dropped / stream.channels, std::memory_order_relaxed);
    const size_t n = ring.read(out, want);
    std::fill(out + n, out + want, 0.0f);
    return static_cast<int>(n / stream.channels);
}

bool Engine::start(std::string& err) {
    if (running) return true;
    const std::string captureId = kwResolveDevice(inputName, true);
    const std::string monitorId = kwResolveDevice(outputName, false);

    std::string streamErr;
    if (!openRender(monitorOut, monitorRing, monitorId, streamErr)) {
        err = "Monitor-Output: " + streamErr;
        return false;
    }
    cableActive = false;
    std::string cableId, cableName;
    if (kwFindCable(cableId, cableName)) {
        std::string ignored;
        cableActive = openRender(cableOut, cableRing, cableId, ignored);
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

// kw_audio.h on the simulated server of sim_audio.h.
#include "audio/sim/sim_audio.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>
#include <memory>
#include <random>
#include <vector>

namespace {

struct Stream {
    sim::Device device;
    KwCapture::Callback capture;  // one of the two is set
    KwRender::Callback render;
    std::atomic<uint32_t>* underruns = nullptr;
    std::atomic<uint32_t>* underflows = nullptr;
    int64_t calls = 0;    // callbacks so far
    int64_t frames = 0;   // frames recorded or played so far
    double due = 0.0;     // virtual time of the next callback
    double resume = 0.0;  // while stalled: the end of the stall
    bool open = true;
    std::vector<float> buffer;
};

struct Server {
    std::vector<sim::Device> devices;
    std::vector<std::unique_ptr<Stream>> streams;
    std::map<std::string, std::function<float(int64_t, int)>> signals;
    std::map<std::string, std::function<void(const float*, int)>> listeners;
    std::mt19937 random{1};
    double now = 0.0;
};

Server& server() {
    static Server s;
    return s;
}

// When callback n of a device falls due on the virtual clock, before jitter.
double nominalTime(const sim::Device& d, int64_t n) {
    return static_cast<double>(n) * d.format.maxFrames /
           (d.format.sampleRate * (1.0 + d.clockPpm * 1e-6));
}

void schedule(Stream& s) {
    Server& srv = server();
    std::uniform_real_distribution<double> late(0.0, s.device.jitterMs * 1e-3);
    s.due = std::max({s.due, s.resume, nominalTime(s.device, s.calls) + late(srv.random)});
}

Stream* openStream(const std::string& id, bool isCapture, std::string& err) {
    Server& srv = server();
    for (const sim::Device& d : srv.devices) {
        if (d.isCapture != isCapture || (id.empty() ? !d.isDefault : d.id != id)) continue;
        auto stream = std::make_unique<Stream>();
        stream->device = d;
        stream->buffer.assign(static_cast<size_t>(d.format.maxFrames) * d.format.channels, 0.0f);
        stream->due = srv.now;
        stream->calls = static_cast<int64_t>(std::ceil(
            srv.now * d.format.sampleRate * (1.0 + d.clockPpm * 1e-6) / d.format.maxFrames));
        schedule(*stream);
        srv.streams.push_back(std::move(stream));
        return srv.streams.back().get();
    }
    err = std::string(isCapture ? "Capture" : "Render") +
          "-Endpoint nicht gefunden: " + (id.empty() ? "(Standard)" : id);
    return nullptr;
}

void closeStream(Stream* stream) {
    auto& streams = server().streams;
    streams.erase(std::remove_if(streams.begin(), streams.end(),
                                 [stream](const auto& s) { return s.get() == stream; }),
                  streams.end());
}

void callBack(Stream& s) {
    Server& srv = server();
    const KwStreamFormat& f = s.device.format;
    const int frames = f.maxFrames;
    if (s.capture) {
        const auto signal = srv.signals.find(s.device.id);
        for (int i = 0; i < frames; ++i) {
            for (int c = 0; c < f.channels; ++c) {
                s.buffer[static_cast<size_t>(i) * f.channels + c] =
                    signal == srv.signals.end() ? 0.0f : signal->second(s.frames + i, c);
            }
        }
        s.capture(s.buffer.data(), frames);
    } else {
        if (s.render(s.buffer.data(), frames) < frames) s.underruns->fetch_add(1);
        const auto listener = srv.listeners.find(s.device.id);
        if (listener != srv.listeners.end()) listener->second(s.buffer.data(), frames);
    }
    s.frames += frames;
    ++s.calls;
    schedule(s);
}

}  // namespace

namespace sim {

void reset(unsigned seed) {
    Server& srv = server();
    srv.streams.clear();
    srv.devices.clear();
    srv.signals.clear();
    srv.listeners.clear();
    srv.random.seed(seed);
    srv.now = 0.0;
}

void addDevice(const Device& device) {
    Device d = device;
    // Every callback carries one period.
    d.format.maxFrames = std::max(
        1, static_cast<int>(std::lround(d.format.periodMs * d.format.sampleRate / 1000.0)));
    server().devices.push_back(d);
}

void removeDevice(const std::string& id) {
    Server& srv = server();
    std::erase_if(srv.devices, [&id](const Device& d) { return d.id == id; });
    for (auto& s : srv.streams) {
        if (s->device.id == id) s->open = false;
    }
}

void stall(const std::string& id, double ms) {
    Server& srv = server();
    for (auto& s : srv.streams) {
        if (s->device.id != id) continue;
        s->resume = srv.now + ms * 1e-3;
        if (s->capture) {
            s->due = s->resume;  // the recorded blocks then come one after the other
        } else {
            // An output skips the time: its calls restart from the resume point on.
            s->calls = static_cast<int64_t>(std::ceil(s->resume * s->device.format.sampleRate *
                                                      (1.0 + s->device.clockPpm * 1e-6) /
                                                      s->device.format.maxFrames));
            s->underruns->fetch_add(1);
            s->underflows->fetch_add(1);
            schedule(*s);
        }
    }
}

void setSignal(const std::string& id, std::function<float(int64_t, int)> signal) {
    server().signals[id] = std::move(signal);
}

void setListener(const std::string& id, std::function<void(const float*, int)> listen) {
    server().listeners[id] = std::move(listen);
}

void run(double seconds) {
    Server& srv = server();
    const double end = srv.now + seconds;
    for (;;) {
        Stream* next = nullptr;
        for (auto& s : srv.streams) {
            if (s->open && s->due <= end && (!next || s->due < next->due)) next = s.get();
        }
        if (!next) break;
        srv.now = next->due;
        callBack(*next);
    }
    srv.now = end;
}

double now() {
    return server().now;
}

}  // namespace sim

double kwNow() {
    return server().now;
}

std::vector<KwDevice> kwEnumerateDevices() {
    std::vector<KwDevice> list;
    for (const bool capture : {true, false}) {
        for (const sim::Device& d : server().devices) {
            if (d.isCapture == capture) list.push_back({d.id, d.name, d.isCapture, d.isDefault});
        }
    }
    return list;
}

struct KwCapture::Impl {
    Stream* stream;
};

KwCapture::KwCapture() = default;
KwCapture::~KwCapture() {
    close();
}

bool KwCapture::open(const std::string& id, Callback callback, std::string& err) {
    close();
    Stream* s = openStream(id, true, err);
    if (!s) return false;
    s->capture = std::move(callback);
    format_ = s->device.format;
    impl_ = std::make_unique<Impl>(Impl{s});
    return true;
}

void KwCapture::close() {
    if (impl_) closeStream(impl_->stream);
    impl_.reset();
}

bool KwCapture::failed() const {
    return impl_ && !impl_->stream->open;
}

struct KwRender::Impl {
    Stream* stream;
};

KwRender::KwRender() = default;
KwRender::~KwRender() {
    close();
}

bool KwRender::open(const std::string& id, Callback callback, std::string& err) {
    close();
    underruns_ = 0;
    underflows_ = 0;
    Stream* s = openStream(id, false, err);
    if (!s) return false;
    s->render = std::move(callback);
    s->underruns = &underruns_;
    s->underflows = &underflows_;
    format_ = s->device.format;
    impl_ = std::make_unique<Impl>(Impl{s});
    return true;
}

void KwRender::close() {
    if (impl_) closeStream(impl_->stream);
    impl_.reset();
}

bool KwRender::failed() const {
    return impl_ && !impl_->stream->open;
}

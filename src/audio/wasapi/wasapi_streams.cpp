// KwCapture and KwRender on Core Audio: one shared-mode stream at the device's mix format, served
// by a thread of its own that the device wakes through an event once per period.
#include <audioclient.h>
#include <avrt.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "audio/kw_audio.h"
#include "audio/wasapi/wasapi_endpoints.h"

namespace {

const IID kIidIAudioClient = {
    0x1CB9AD4C, 0xDBFA, 0x4C32, {0xB1, 0x78, 0xC2, 0xF5, 0x68, 0xA7, 0x03, 0xB2}};
const IID kIidIAudioCaptureClient = {
    0xC8ADBD64, 0xE71E, 0x48A0, {0xA4, 0xDE, 0x18, 0x5C, 0x39, 0x5C, 0xD3, 0x17}};
const IID kIidIAudioRenderClient = {
    0xF294ACFC, 0x3146, 0x4483, {0xA7, 0xBF, 0xAD, 0xDC, 0xA7, 0xC2, 0x60, 0xE2}};
const GUID kFloat = {0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

constexpr REFERENCE_TIME kBufferDuration = 200000;  // 20 ms in 100 ns units
// The longest a stream thread waits for its device, and so the longest a close waits for it.
constexpr DWORD kWaitMs = 250;
// A running shared stream is woken every period; this many silent waits in a row mean its device
// (or the sound system behind it) is gone without saying so.
constexpr int kSilentWaits = 4;

// The sample width is not looked at: the mix format of a shared stream is 32-bit when it is float.
bool isFloatFormat(const WAVEFORMATEX* format) {
    if (!format) return false;
    if (format->wFormatTag == WAVE_FORMAT_IEEE_FLOAT) return true;
    return format->wFormatTag == WAVE_FORMAT_EXTENSIBLE && format->cbSize >= 22 &&
           IsEqualGUID(reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(format)->SubFormat, kFloat);
}

struct TaskMemFree {
    void operator()(void* p) const { CoTaskMemFree(p); }
};

// The platform state of one stream of either direction. The owner writes everything but the
// thread's own use of the device before the thread starts; stopFlag is the one field both touch.
template <class Service>
struct WasapiStream {
    ComPtr<IMMDevice> device;
    ComPtr<IAudioClient> client;
    ComPtr<Service> service;
    HANDLE event = nullptr;
    std::thread thread;
    UINT32 bufferFrames = 0;
    int channels = 2;
    std::atomic<bool> stopFlag{false};  // written by the owner
    std::atomic<bool> failed{false};    // written by the thread: the device went away

    WasapiStream() = default;
    WasapiStream(const WasapiStream&) = delete;
    WasapiStream& operator=(const WasapiStream&) = delete;
    ~WasapiStream() {
        stop();
        if (event) CloseHandle(event);
    }

    // Everything up to a client that is ready to start, its format in out.
    bool setUp(bool isCapture, const std::string& id, KwStreamFormat& out, std::string& err) {
        const std::string kind = isCapture ? "Capture" : "Render";
        const ComScope com;
        if (!com.ok()) {
            err = "CoInitializeEx fehlgeschlagen";
            return false;
        }
        device = openEndpoint(makeEnumerator().Get(), id, isCapture);
        if (!device) {
            err = kind + "-Endpoint nicht gefunden: " + (id.empty() ? "(Standard)" : id);
            return false;
        }
        if (FAILED(device->Activate(kIidIAudioClient, CLSCTX_ALL, nullptr, &client))) {
            err = "IAudioClient-Aktivierung fehlgeschlagen";
            return false;
        }
        WAVEFORMATEX* mix = nullptr;
        if (FAILED(client->GetMixFormat(&mix))) mix = nullptr;
        std::unique_ptr<WAVEFORMATEX, TaskMemFree> format(mix);
        if (!isFloatFormat(format.get())) {
            err = "Mix-Format ist nicht float32 — wird nicht unterstützt";
            return false;
        }
        out.sampleRate = static_cast<int>(format->nSamplesPerSec);
        out.channels = channels = format->nChannels;
        REFERENCE_TIME defaultPeriod = 0;
        REFERENCE_TIME minimumPeriod = 0;
        if (SUCCEEDED(client->GetDevicePeriod(&defaultPeriod, &minimumPeriod))) {
            out.periodMs = static_cast<double>(defaultPeriod) / 10000.0;
        }
        event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        const HRESULT hr =
            client->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                               kBufferDuration, 0, format.get(), nullptr);
        format.reset();
        if (FAILED(hr)) {
            err = kind + " Initialize fehlgeschlagen (HRESULT " +
                  std::to_string(static_cast<int32_t>(hr)) + ")";
            return false;
        }
        client->GetBufferSize(&bufferFrames);
        out.maxFrames = static_cast<int>(bufferFrames);
        if (FAILED(client->SetEventHandle(event))) {
            err = "SetEventHandle fehlgeschlagen";
            return false;
        }
        if (FAILED(client->GetService(isCapture ? kIidIAudioCaptureClient : kIidIAudioRenderClient,
                                      &service))) {
            err = std::string("GetService(") +
                  (isCapture ? "IAudioCaptureClient" : "IAudioRenderClient") + ") fehlgeschlagen";
            return false;
        }
        return true;
    }

    // Starts the client, then the thread that runs serve() on every wake-up.
    template <class Serve>
    bool start(bool isCapture, Serve serve, std::string& err) {
        if (FAILED(client->Start())) {
            err = std::string(isCapture ? "Capture" : "Render") + " Start fehlgeschlagen";
            return false;
        }
        thread = std::thread([this, serve] { threadMain(serve); });
        return true;
    }

    // A device that is gone ends the thread and marks the stream failed: it never signals again.
    template <class Serve>
    void threadMain(Serve serve) {
        const ComScope com;
        DWORD taskIndex = 0;
        AvSetMmThreadCharacteristicsA("Pro Audio", &taskIndex);
        int silentWaits = 0;
        while (!stopFlag.load(std::memory_order_relaxed)) {
            if (WaitForSingleObject(event, kWaitMs) != WAIT_OBJECT_0) {
                if (++silentWaits < kSilentWaits) continue;
                failed = true;
                break;
            }
            silentWaits = 0;
            const HRESULT hr = serve();
            if (hr == AUDCLNT_E_DEVICE_INVALIDATED || hr == AUDCLNT_E_SERVICE_NOT_RUNNING) {
                failed = true;
                break;
            }
        }
    }

    // Ends the thread within one wait and stops the client.
    void stop() {
        stopFlag = true;
        if (thread.joinable()) thread.join();
        if (client) client->Stop();
    }
};

// Both opens: set the stream up, let prepare(impl) ready what its thread needs, start. A failed
// open releases everything at once, so nothing half-started stays behind.
template <class Impl, class Prepare>
bool openStream(std::unique_ptr<Impl>& impl, bool isCapture, const std::string& id,
                KwStreamFormat& format, std::string& err, Prepare prepare) {
    Impl& s = *impl;
    KwStreamFormat opened;
    bool ok = s.setUp(isCapture, id, opened, err);
    if (ok) {
        format = opened;  // before the first callback, which may read it
        prepare(s);
        const auto serve = [&s] { return s.serve(); };
        ok = s.start(isCapture, serve, err);
    }
    if (!ok) impl.reset();
    return ok;
}

// Both closes: the thread ends before the state it serves goes.
template <class Impl>
void closeStream(std::unique_ptr<Impl>& impl) {
    if (!impl) return;
    impl->stop();
    impl.reset();
}

}  // namespace

double kwNow() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct KwCapture::Impl : WasapiStream<IAudioCaptureClient> {
    explicit Impl(Callback cb) : callback(std::move(cb)) {}
    Callback callback;
    std::vector<float> silence;  // sized at open: the thread never allocates

    // Drains every packet the device holds; a packet flagged silent reaches the callback as
    // zeros of full length.
    HRESULT serve() {
        for (;;) {
            UINT32 next = 0;
            HRESULT hr = service->GetNextPacketSize(&next);
            if (FAILED(hr) || next == 0) return hr;
            BYTE* data = nullptr;
            UINT32 frames = 0;
            DWORD flags = 0;
            hr = service->GetBuffer(&data, &frames, &flags, nullptr, nullptr);
            if (FAILED(hr)) return hr;
            if (callback && frames > 0) {
                if (flags & AUDCLNT_BUFFERFLAGS_SILENT) {
                    const int piece = static_cast<int>(silence.size()) / channels;
                    for (int left = static_cast<int>(frames); left > 0; left -= piece) {
                        callback(silence.data(), std::min(left, piece));
                    }
                } else {
                    callback(reinterpret_cast<const float*>(data), static_cast<int>(frames));
                }
            }
            service->ReleaseBuffer(frames);
        }
    }
};

KwCapture::KwCapture() = default;

KwCapture::~KwCapture() {
    close();
}

bool KwCapture::open(const std::string& id, Callback callback, std::string& err) {
    close();
    impl_ = std::make_unique<Impl>(std::move(callback));
    return openStream(impl_, true, id, format_, err, [](Impl& s) {
        s.silence.assign(static_cast<size_t>(std::max<UINT32>(s.bufferFrames, 1)) * s.channels,
                         0.0f);
    });
}

void KwCapture::close() {
    closeStream(impl_);
}

bool KwCapture::failed() const {
    return impl_ && impl_->failed.load(std::memory_order_relaxed);
}

struct KwRender::Impl : WasapiStream<IAudioRenderClient> {
    Impl(std::atomic<uint32_t>& u, std::atomic<uint32_t>& f, Callback cb)
        : underruns(u), underflows(f), callback(std::move(cb)) {}
    std::atomic<uint32_t>& underruns;
    std::atomic<uint32_t>& underflows;
    Callback callback;

    // Fills whatever the device buffer has free.
    HRESULT serve() {
        UINT32 queued = 0;
        HRESULT hr = client->GetCurrentPadding(&queued);
        if (FAILED(hr)) return hr;
        if (queued == 0) {
            // The device played its buffer empty: the data came too late.
            underflows.fetch_add(1, std::memory_order_relaxed);
            underruns.fetch_add(1, std::memory_order_relaxed);
        }
        const UINT32 frames = bufferFrames - std::min(queued, bufferFrames);
        if (frames == 0) return S_OK;
        BYTE* data = nullptr;
        hr = service->GetBuffer(frames, &data);
        if (FAILED(hr)) return hr;
        float* out = reinterpret_cast<float*>(data);
        const int n = static_cast<int>(frames);
        int got = 0;
        if (callback) {
            got = callback(out, n);
        } else {
            std::fill(out, out + static_cast<size_t>(n) * channels, 0.0f);
        }
        if (got < n) underruns.fetch_add(1, std::memory_order_relaxed);
        return service->ReleaseBuffer(frames, 0);
    }

    // Playback starts from a full buffer of silence, so the first periods never underrun.
    void primeWithSilence() {
        BYTE* data = nullptr;
        if (FAILED(service->GetBuffer(bufferFrames, &data))) return;
        std::memset(data, 0, static_cast<size_t>(bufferFrames) * channels * sizeof(float));
        service->ReleaseBuffer(bufferFrames, AUDCLNT_BUFFERFLAGS_SILENT);
    }
};

KwRender::KwRender() = default;

KwRender::~KwRender() {
    close();
}

bool KwRender::open(const std::string& id, Callback callback, std::string& err) {
    close();
    underruns_ = 0;
    underflows_ = 0;
    impl_ = std::make_unique<Impl>(underruns_, underflows_, std::move(callback));
    return openStream(impl_, false, id, format_, err, [](Impl& s) { s.primeWithSilence(); });
}

void KwRender::close() {
    closeStream(impl_);
}

bool KwRender::failed() const {
    return impl_ && impl_->failed.load(std::memory_order_relaxed);
}

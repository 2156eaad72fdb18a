// KwCapture and KwRender on the sound server. Each open stream has a pa_threaded_mainloop of its
// own whose thread runs the owner's callback whenever the server delivers or asks for audio.
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "audio/kw_audio.h"
#include "audio/pulse/pulse_session.h"

namespace {

// Requested buffering per stream; the server rounds it to its own fragment grid.
constexpr pa_usec_t kPeriodUs = 10 * PA_USEC_PER_MSEC;
// The sound server's own default real-time priority, so neither side starves the other.
constexpr int kRealtimePriority = 5;

void raisePriority() {
    sched_param param{};
    param.sched_priority = kRealtimePriority;
    // Refused without the privilege; the stream then runs at normal priority.
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
}

// The direction-independent part of a stream: connection, device lookup and one float32 stream
// at the device's own rate and channel count. Destruction disconnects and joins the thread.
struct PulseStream {
    PulseSession session;
    pa_stream* stream = nullptr;
    size_t frameBytes = 0;
    // Capture: silence for holes; render: the block being filled. Sized at open, never in a
    // callback: longer requests are served in pieces of this size.
    std::vector<float> buffer;
    std::atomic<bool> failed{false};  // the stream's thread: the device or the server went away

    ~PulseStream() {
        if (!stream) return;
        PulseLock lock(session);
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        pa_stream_set_read_callback(stream, nullptr, nullptr);
        pa_stream_set_write_callback(stream, nullptr, nullptr);
        pa_stream_set_underflow_callback(stream, nullptr, nullptr);
        pa_stream_disconnect(stream);
        pa_stream_unref(stream);
    }

    // Leaves the stream connected but corked, its format in out (the period is the negotiated
    // buffering: the playback target length, or the capture fragment).
    bool setUp(bool isCapture, const std::string& id, KwStreamFormat& out, std::string& err) {
        const std::string kind = isCapture ? "Capture" : "Render";
        if (!session.connect(isCapture ? "kw-capture" : "kw-render", err)) return false;
        PulseLock lock(session);

        std::vector<PulseEndpoint> found;
        const char* defaultName = isCapture ? "@DEFAULT_SOURCE@" : "@DEFAULT_SINK@";
        const int error =
            session.queryEndpoints(isCapture, id.empty() ? defaultName : id.c_str(), found);
        // The server answers a name it cannot hold (blanks, say) with "invalid argument".
        const bool unknown = error == PA_ERR_NOENTITY || error == PA_ERR_INVALID;
        if (unknown || (error == PA_OK && found.empty())) {
            err = kind + "-Endpoint nicht gefunden: " + (id.empty() ? "(Standard)" : id);
            return false;
        }
        if (error != PA_OK) {
            err = pulseConnectionError(error);
            return false;
        }
        const PulseEndpoint& device = found.front();

        const pa_sample_spec format{PA_SAMPLE_FLOAT32NE, device.format.rate,
                                    device.format.channels};
        frameBytes = pa_frame_size(&format);
        stream = pa_stream_new(session.context(), kind.c_str(), &format,
                               pa_channel_map_valid(&device.map) ? &device.map : nullptr);
        if (!stream) return initializeFailed(kind, pa_context_errno(session.context()), err);
        pa_stream_set_state_callback(
            stream,
            [](pa_stream* s, void* self) {
                // Runs on the stream's own thread, the one that will serve the callbacks.
                auto& pulse = *static_cast<PulseStream*>(self);
                const pa_stream_state_t state = pa_stream_get_state(s);
                if (state == PA_STREAM_READY) raisePriority();
                if (!PA_STREAM_IS_GOOD(state)) pulse.failed = true;
                pa_threaded_mainloop_signal(pulse.session.loop(), 0);
            },
            this);

        pa_buffer_attr attr;
        std::memset(&attr, 0xff, sizeof attr);  // every field: the server's choice
        const uint32_t periodBytes = static_cast<uint32_t>(pa_usec_to_bytes(kPeriodUs, &format));
        // Pinned to its device: when that vanishes the stream ends instead of moving elsewhere.
        const auto flags = static_cast<pa_stream_flags_t>(
            PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
        int rc;
        if (isCapture) {
            attr.fragsize = periodBytes;
            rc = pa_stream_connect_record(stream, device.name.c_str(), &attr, flags);
        } else {
            attr.tlength = periodBytes;
            rc = pa_stream_connect_playback(stream, device.name.c_str(), &attr, flags, nullptr,
                                            nullptr);
        }
        if (rc < 0) return initializeFailed(kind, pa_context_errno(session.context()), err);
        pa_stream_state_t state = PA_STREAM_UNCONNECTED;
        session.waitUntil([&] {
            state = pa_stream_get_state(stream);
            return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
        });
        if (state != PA_STREAM_READY) return initializeFailed(kind, session.lastError(), err);

        const pa_buffer_attr* got = pa_stream_get_buffer_attr(stream);
        const uint32_t blockBytes = isCapture ? got->fragsize : got->tlength;
        out.sampleRate = static_cast<int>(format.rate);
        out.channels = format.channels;
        out.periodMs = 1000.0 * static_cast<double>(blockBytes / frameBytes) / format.rate;
        buffer.assign(4 * blockBytes / sizeof(float), 0.0f);  // larger requests come in pieces
        out.maxFrames = static_cast<int>(buffer.size()) / out.channels;
        return true;
    }

    // Uncorks the stream.
    bool start(const char* kind, std::string& err) {
        int success = 0;
        pa_operation* op = pa_stream_cork(
            stream, 0, [](pa_stream*, int ok, void* result) { *static_cast<int*>(result) = ok; },
            &success);
        if (!session.complete(op) || !success) {
            err = std::string(kind) + " Start fehlgeschlagen";
            return false;
        }
        return true;
    }

    static bool initializeFailed(const std::string& kind, int error, std::string& err) {
        err = kind + " Initialize fehlgeschlagen (Fehler " + std::to_string(error) + ": " +
              pa_strerror(error) + ")";
        return false;
    }
};

// Both opens: set the stream up, let prepare(impl) hook in the data callback, start. A failed
// open releases everything at once, so nothing half-started keeps running.
template <class Impl, class Prepare>
bool openStream(std::unique_ptr<Impl>& impl, bool isCapture, const std::string& id,
                KwStreamFormat& format, std::string& err, Prepare prepare) {
    PulseStream& pulse = impl->pulse;
    bool ok = pulse.setUp(isCapture, id, impl->format, err);
    if (ok) {
        format = impl->format;  // before the first callback, which may read it
        PulseLock lock(pulse.session);
        prepare(*impl);
        ok = pulse.start(isCapture ? "Capture" : "Render", err);
    }
    if (!ok) impl.reset();
    return ok;
}

// Both closes: the stream's thread sees stopping before the stream goes.
template <class Impl>
void closeStream(std::unique_ptr<Impl>& impl) {
    if (!impl) return;
    impl->stopping = true;
    impl.reset();
}

}  // namespace

struct KwCapture::Impl {
    explicit Impl(Callback cb) : callback(std::move(cb)) {}
    Callback callback;
    std::atomic<bool> stopping{false};
    KwStreamFormat format;
    PulseStream pulse;

    // Every fragment the server has queued; a hole reaches the callback as zeros of full length.
    static void onRead(pa_stream* s, size_t, void* userdata) {
        Impl& self = *static_cast<Impl*>(userdata);
        const int channels = self.format.channels;
        const void* data;
        size_t bytes;
        while (!self.stopping.load(std::memory_order_relaxed) &&
               pa_stream_peek(s, &data, &bytes) == 0 && bytes > 0) {
            int frames = static_cast<int>(bytes / self.pulse.frameBytes);
            if (data) {
                if (frames > 0) self.callback(static_cast<const float*>(data), frames);
            } else {
                const int piece = static_cast<int>(self.pulse.buffer.size() / channels);
                for (; frames > 0; frames -= piece) {
                    self.callback(self.pulse.buffer.data(), std::min(frames, piece));
                }
            }
            pa_stream_drop(s);
        }
    }
};

double kwNow() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

KwCapture::KwCapture() = default;

KwCapture::~KwCapture() {
    close();
}

bool KwCapture::open(const std::string& id, Callback callback, std::string& err) {
    close();
    impl_ = std::make_unique<Impl>(std::move(callback));
    return openStream(impl_, true, id, format_, err, [](Impl& opened) {
        pa_stream_set_read_callback(opened.pulse.stream, Impl::onRead, &opened);
    });
}

void KwCapture::close() {
    closeStream(impl_);
}

bool KwCapture::failed() const {
    return impl_ && impl_->pulse.failed.load(std::memory_order_relaxed);
}

struct KwRender::Impl {
    Impl(std::atomic<uint32_t>& u, std::atomic<uint32_t>& f, Callback cb)
        : underruns(u), underflows(f), callback(std::move(cb)) {}
    std::atomic<uint32_t>& underruns;
    std::atomic<uint32_t>& underflows;
    Callback callback;
    std::atomic<bool> stopping{false};
    KwStreamFormat format;
    PulseStream pulse;

    // Everything the server asks for, in pieces of the buffer's size.
    static void onWrite(pa_stream* s, size_t bytes, void* userdata) {
        Impl& self = *static_cast<Impl*>(userdata);
        const int channels = self.format.channels;
        const int piece = static_cast<int>(self.pulse.buffer.size() / channels);
        for (int frames = static_cast<int>(bytes / self.pulse.frameBytes);
             frames > 0 && !self.stopping.load(std::memory_order_relaxed); frames -= piece) {
            const int n = std::min(frames, piece);
            if (self.callback(self.pulse.buffer.data(), n) < n) {
                self.underruns.fetch_add(1, std::memory_order_relaxed);
            }
            pa_stream_write(s, self.pulse.buffer.data(), n * self.pulse.frameBytes, nullptr, 0,
                            PA_SEEK_RELATIVE);
        }
    }

    // The server played its buffer empty: the data came too late.
    static void onUnderflow(pa_stream*, void* userdata) {
        Impl& self = *static_cast<Impl*>(userdata);
        self.underflows.fetch_add(1, std::memory_order_relaxed);
        self.underruns.fetch_add(1, std::memory_order_relaxed);
    }

    // Playback starts from a full buffer of silence, so the first periods never underrun.
    void primeWithSilence() {
        size_t bytes = pa_stream_writable_size(pulse.stream);
        if (bytes == static_cast<size_t>(-1)) return;
        std::fill(pulse.buffer.begin(), pulse.buffer.end(), 0.0f);
        while (bytes > 0) {
            const size_t n = std::min(bytes, pulse.buffer.size() * sizeof(float));
            pa_stream_write(pulse.stream, pulse.buffer.data(), n, nullptr, 0, PA_SEEK_RELATIVE);
            bytes -= n;
        }
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
    return openStream(impl_, false, id, format_, err, [](Impl& opened) {
        opened.primeWithSilence();
        pa_stream_set_write_callback(opened.pulse.stream, Impl::onWrite, &opened);
        pa_stream_set_underflow_callback(opened.pulse.stream, Impl::onUnderflow, &opened);
    });
}

void KwRender::close() {
    closeStream(impl_);
}

bool KwRender::failed() const {
    return impl_ && impl_->pulse.failed.load(std::memory_order_relaxed);
}

#include "audio/pulse/pulse_session.h"

namespace {

// Connecting, listing and opening together; a local server answers within milliseconds.
constexpr pa_usec_t kSetupTimeoutUs = 2 * PA_USEC_PER_SEC;

void signalLoop(void* loop) {
    pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
}

PulseEndpoint endpointOf(const pa_sink_info& i) {
    return {i.name, i.description ? i.description : "", i.sample_spec, i.channel_map, false};
}

PulseEndpoint endpointOf(const pa_source_info& i) {
    return {i.name, i.description ? i.description : "", i.sample_spec, i.channel_map,
            i.monitor_of_sink != PA_INVALID_INDEX};
}

struct EndpointQuery {
    std::vector<PulseEndpoint>& out;
    int error = 0;
};

template <class Info>
void collectEndpoint(pa_context* c, const Info* info, int eol, void* userdata) {
    auto* query = static_cast<EndpointQuery*>(userdata);
    if (eol < 0) {
        query->error = pa_context_errno(c);
    } else if (info) {
        query->out.push_back(endpointOf(*info));
    }
}

struct Defaults {
    std::string& sink;
    std::string& source;
};

void collectDefaults(pa_context*, const pa_server_info* info, void* userdata) {
    auto* defaults = static_cast<Defaults*>(userdata);
    if (!info) return;
    defaults->sink = info->default_sink_name ? info->default_sink_name : "";
    defaults->source = info->default_source_name ? info->default_source_name : "";
}

}  // namespace

std::string pulseConnectionError(int error) {
    return std::string("Verbindung zum Soundserver fehlgeschlagen: ") + pa_strerror(error);
}

PulseSession::~PulseSession() {
    if (!loop_) return;
    // Joins the thread first, so no callback runs while the context goes away.
    pa_threaded_mainloop_stop(loop_);
    if (context_) {
        pa_context_disconnect(context_);
        pa_context_unref(context_);
    }
    pa_threaded_mainloop_free(loop_);
}

bool PulseSession::connect(const char* threadName, std::string& err) {
    loop_ = pa_threaded_mainloop_new();
    if (!loop_) {
        err = pulseConnectionError(PA_ERR_INTERNAL);
        return false;
    }
    pa_threaded_mainloop_set_name(loop_, threadName);
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "engine");
    if (!context_) {
        err = pulseConnectionError(PA_ERR_INTERNAL);
        return false;
    }
    pa_context_set_state_callback(
        context_, [](pa_context*, void* loop) { signalLoop(loop); }, loop_);
    if (pa_threaded_mainloop_start(loop_) < 0) {
        err = pulseConnectionError(PA_ERR_INTERNAL);
        return false;
    }

    PulseLock lock(*this);
    pa_context_rttime_new(
        context_, pa_rtclock_now() + kSetupTimeoutUs,
        [](pa_mainloop_api*, pa_time_event*, const timeval*, void* session) {
            auto* self = static_cast<PulseSession*>(session);
            self->expired_ = true;
            signalLoop(self->loop_);
        },
        this);
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        err = pulseConnectionError(pa_context_errno(context_));
        return false;
    }
    pa_context_state_t state = PA_CONTEXT_UNCONNECTED;
    waitUntil([&] {
        state = pa_context_get_state(context_);
        return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
    });
    if (state != PA_CONTEXT_READY) {
        err = pulseConnectionError(lastError());
        return false;
    }
    return true;
}

bool PulseSession::complete(pa_operation* op) {
    if (!op) return false;
    pa_operation_set_state_callback(
        op, [](pa_operation*, void* loop) { signalLoop(loop); }, loop_);
    waitUntil([op] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; });
    const bool done = pa_operation_get_state(op) == PA_OPERATION_DONE;
    if (!done) pa_operation_cancel(op);
    pa_operation_unref(op);
    return done;
}

int PulseSession::lastError() const {
    if (expired_) return PA_ERR_TIMEOUT;
    const int error = pa_context_errno(context_);
    return error != PA_OK ? error : PA_ERR_UNKNOWN;
}

int PulseSession::queryEndpoints(bool isCapture, const char* name,
                                 std::vector<PulseEndpoint>& out) {
    EndpointQuery query{out};
    pa_operation* op;
    if (isCapture) {
        op = name ? pa_context_get_source_info_by_name(context_, name,
                                                       collectEndpoint<pa_source_info>, &query)
                  : pa_context_get_source_info_list(context_, collectEndpoint<pa_source_info>,
                                                    &query);
    } else {
        op = name ? pa_context_get_sink_info_by_name(context_, name, collectEndpoint<pa_sink_info>,
                                                     &query)
                  : pa_context_get_sink_info_list(context_, collectEndpoint<pa_sink_info>, &query);
    }
    if (!complete(op)) return lastError();
    return query.error;
}

int PulseSession::queryDefaults(std::string& sink, std::string& source) {
    Defaults defaults{sink, source};
    if (!complete(pa_context_get_server_info(context_, collectDefaults, &defaults))) {
        return lastError();
    }
    return PA_OK;
}

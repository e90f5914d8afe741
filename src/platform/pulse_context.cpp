#include "platform/pulse_context.h"

#include <pulse/rtclock.h>

#include "platform/diagnostic_log.h"

namespace merrowfax {
namespace {

bool alive(pa_context_state_t state) {
    return state != PA_CONTEXT_FAILED && state != PA_CONTEXT_TERMINATED;
}

std::string text(const char* s) {
    return s ? s : "";
}

struct Listing {
    PulseConnection* connection;
    std::vector<PulseDevice> devices;
    bool done = false;
};

template <typename Info>
void collect(const Info* info, int eol, Listing& listing, bool monitor) {
    if (eol != 0) {
        listing.done = true;
        listing.connection->signal();
        return;
    }
    if (!info) return;
    listing.devices.push_back({text(info->name), text(info->description),
                               AudioFormat{static_cast<int>(info->sample_spec.rate),
                                           static_cast<int>(info->sample_spec.channels)},
                               monitor});
}

}  // namespace

std::unique_ptr<PulseConnection> PulseConnection::open(std::chrono::milliseconds timeout) {
    std::unique_ptr<PulseConnection> c(new PulseConnection);
    c->loop_ = pa_threaded_mainloop_new();
    if (!c->loop_) return nullptr;
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "Merrowfax");
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "merrowfax");
    c->context_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(c->loop_), "Merrowfax",
                                               properties);
    pa_proplist_free(properties);
    if (!c->context_) return nullptr;
    pa_context_set_state_callback(
        c->context_, [](pa_context*, void* self) { static_cast<PulseConnection*>(self)->signal(); },
        c.get());
    // Never start a server of our own: no server means no sound devices.
    if (pa_context_connect(c->context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        diagnosticLog("sound server: " + text(pa_strerror(pa_context_errno(c->context_))));
        return nullptr;
    }
    if (pa_threaded_mainloop_start(c->loop_) < 0) return nullptr;
    c->started_ = true;

    PulseLock lock(*c);
    if (!c->wait([&] { return c->ready(); }, timeout)) {
        diagnosticLog("sound server not reached: " +
                      text(pa_strerror(pa_context_errno(c->context_))));
        return nullptr;
    }
    return c;
}

PulseConnection::~PulseConnection() {
    if (started_) {
        {
            PulseLock lock(*this);
            pa_context_disconnect(context_);
        }
        pa_threaded_mainloop_stop(loop_);
    }
    if (context_) pa_context_unref(context_);
    if (loop_) pa_threaded_mainloop_free(loop_);
}

bool PulseConnection::ready() const {
    return pa_context_get_state(context_) == PA_CONTEXT_READY;
}

bool PulseConnection::wait(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    struct Alarm {
        pa_threaded_mainloop* loop;
        bool rang = false;
    } alarm{loop_};
    const auto usec = static_cast<pa_usec_t>(timeout.count()) * PA_USEC_PER_MSEC;
    pa_time_event* timer = pa_context_rttime_new(
        context_, pa_rtclock_now() + usec,
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* data) {
            auto* a = static_cast<Alarm*>(data);
            a->rang = true;
            pa_threaded_mainloop_signal(a->loop, 0);
        },
        &alarm);
    while (!done() && !alarm.rang && alive(pa_context_get_state(context_))) {
        pa_threaded_mainloop_wait(loop_);
    }
    if (timer) pa_threaded_mainloop_get_api(loop_)->time_free(timer);
    return done();
}

bool PulseConnection::finish(pa_operation* operation, std::chrono::milliseconds timeout) {
    if (!operation) return false;
    const bool done =
        wait([&] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; }, timeout);
    if (!done) pa_operation_cancel(operation);
    const bool ok = done && pa_operation_get_state(operation) == PA_OPERATION_DONE;
    pa_operation_unref(operation);
    return ok;
}

std::optional<std::vector<PulseDevice>> listPulseDevices(PulseConnection& connection,
                                                         PulseDirection direction,
                                                         std::chrono::milliseconds timeout) {
    Listing listing{&connection, {}};
    pa_operation* operation = nullptr;
    if (direction == PulseDirection::input) {
        operation = pa_context_get_source_info_list(
            connection.context(),
            [](pa_context*, const pa_source_info* info, int eol, void* data) {
                collect(info, eol, *static_cast<Listing*>(data),
                        info && info->monitor_of_sink != PA_INVALID_INDEX);
            },
            &listing);
    } else {
        operation = pa_context_get_sink_info_list(
            connection.context(),
            [](pa_context*, const pa_sink_info* info, int eol, void* data) {
                collect(info, eol, *static_cast<Listing*>(data), false);
            },
            &listing);
    }
    if (!connection.finish(operation, timeout) || !listing.done) return std::nullopt;
    return std::move(listing.devices);
}

std::optional<PulseDevice> findPulseDevice(PulseConnection& connection, PulseDirection direction,
                                           const std::string& choice,
                                           std::chrono::milliseconds timeout) {
    std::string wanted = choice;
    if (wanted.empty()) {
        struct Defaults {
            PulseConnection* connection;
            std::string source, sink;
        } defaults{&connection, {}, {}};
        pa_operation* operation = pa_context_get_server_info(
            connection.context(),
            [](pa_context*, const pa_server_info* info, void* data) {
                auto* d = static_cast<Defaults*>(data);
                if (info) {
                    d->source = text(info->default_source_name);
                    d->sink = text(info->default_sink_name);
                }
                d->connection->signal();
            },
            &defaults);
        if (!connection.finish(operation, timeout)) return std::nullopt;
        wanted = direction == PulseDirection::input ? defaults.source : defaults.sink;
        if (wanted.empty()) return std::nullopt;
    }
    const auto devices = listPulseDevices(connection, direction, timeout);
    if (!devices) return std::nullopt;
    for (const auto& d : *devices) {
        if (d.name == wanted) return d;
    }
    if (!choice.empty()) {
        for (const auto& d : *devices) {
            if (d.description == wanted) return d;
        }
    }
    return std::nullopt;
}

}  // namespace merrowfax

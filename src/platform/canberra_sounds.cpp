#include "platform/canberra_sounds.h"

#include <canberra.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>

#include "platform/diagnostic_log.h"

namespace merrowfax {
namespace {

// A ring that has not finished when the next one is due is cut off, so
// rings never pile up.
constexpr std::uint32_t kRingPlayId = 1;
constexpr std::uint32_t kTextPlayId = 2;
// Sounds waiting while the server is slow; more are dropped, not queued.
constexpr std::size_t kMaxWaiting = 4;

}  // namespace

struct CanberraSounds::State {
    OnPlayed onPlayed;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<SystemSound> waiting;
    bool closing = false;
    // The sound thread's own.
    ca_context* context = nullptr;
    bool complained = false;

    // One line for the first failure only: without a server every sound fails.
    void complain(const char* what, int error) {
        if (complained) return;
        complained = true;
        diagnosticLog(std::string("sounds: ") + what + ": " + ca_strerror(error) +
                      "; playing none");
    }

    // CA_SUCCESS or why there is no connection.
    int connect() {
        if (context) return CA_SUCCESS;
        int error = ca_context_create(&context);
        if (error == CA_SUCCESS) {
            // Only the sound server: libcanberra's ALSA driver opens the
            // hardware itself, writes errors to the terminal where there is
            // none, and can hang when ALSA is routed to a server.
            error = ca_context_set_driver(context, "pulse");
        }
        if (error == CA_SUCCESS) {
            error = ca_context_change_props(context, CA_PROP_APPLICATION_NAME, "Merrowfax",
                                            CA_PROP_APPLICATION_ID, "com.dallowbrin.merrowfax",
                                            nullptr);
        }
        if (error == CA_SUCCESS) error = ca_context_open(context);
        if (error != CA_SUCCESS) {
            complain("no sound server", error);
            disconnect();
        }
        return error;
    }

    void disconnect() {
        if (context) ca_context_destroy(context);  // cancels what still plays
        context = nullptr;
    }

    struct Playing {
        std::shared_ptr<State> state;
        SystemSound sound;
    };

    static void finished(ca_context*, std::uint32_t, int error, void* data) {
        std::unique_ptr<Playing> playing(static_cast<Playing*>(data));
        if (playing->state->onPlayed) playing->state->onPlayed(playing->sound, error);
    }

    void playNow(const std::shared_ptr<State>& self, SystemSound sound) {
        if (const int error = connect(); error != CA_SUCCESS) {
            if (onPlayed) onPlayed(sound, error);
            return;
        }
        const std::uint32_t id = sound == SystemSound::ring ? kRingPlayId : kTextPlayId;
        if (sound == SystemSound::ring) ca_context_cancel(context, id);
        ca_proplist* props = nullptr;
        ca_proplist_create(&props);
        ca_proplist_sets(props, CA_PROP_EVENT_ID, eventId(sound));
        ca_proplist_sets(props, CA_PROP_MEDIA_ROLE, "event");
        auto playing = std::make_unique<Playing>(Playing{self, sound});
        const int error = ca_context_play_full(context, id, props, &State::finished, playing.get());
        ca_proplist_destroy(props);
        if (error == CA_SUCCESS) {
            playing.release();  // finished() takes it
            return;
        }
        complain("cannot play", error);
        if (onPlayed) onPlayed(sound, error);
        // The server may have gone away: the next sound connects anew.
        disconnect();
    }

    static void run(const std::shared_ptr<State>& self) {
        for (;;) {
            SystemSound sound;
            {
                std::unique_lock lock(self->mutex);
                self->wake.wait(lock, [&] { return self->closing || !self->waiting.empty(); });
                if (self->closing) break;
                sound = self->waiting.front();
                self->waiting.pop_front();
            }
            self->playNow(self, sound);
        }
        self->disconnect();
    }
};

CanberraSounds::CanberraSounds(OnPlayed onPlayed) : state_(std::make_shared<State>()) {
    state_->onPlayed = std::move(onPlayed);
    thread_ = std::thread([state = state_] { State::run(state); });
}

CanberraSounds::~CanberraSounds() {
    {
        std::lock_guard lock(state_->mutex);
        state_->closing = true;
    }
    state_->wake.notify_one();
    thread_.join();
}

void CanberraSounds::play(SystemSound sound) {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->waiting.size() >= kMaxWaiting) return;
        state_->waiting.push_back(sound);
    }
    state_->wake.notify_one();
}

const char* CanberraSounds::eventId(SystemSound sound) {
    switch (sound) {
        case SystemSound::ring:
            return "phone-incoming-call";
        case SystemSound::newText:
            return "message-new-instant";
    }
    return "bell";
}

}  // namespace merrowfax

#include "transport/avahi_discovery.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <mutex>
#include <string_view>
#include <utility>

#include "platform/diagnostic_log.h"

namespace merrowfax {
namespace {

constexpr int kBusRetryMs = 5000;
constexpr int kMaxRenames = 16;  // alternative names tried in a row

void log(const std::string& line) {
    diagnosticLog("discovery: " + line);
}

bool validUtf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto lead = static_cast<unsigned char>(s[i]);
        std::size_t extra = 0;
        char32_t code = 0, least = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1, code = lead & 0x1F, least = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2, code = lead & 0x0F, least = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3, code = lead & 0x07, least = 0x10000;
        } else {
            return false;
        }
        if (s.size() - i <= extra) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(s[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            code = (code << 6) | (next & 0x3F);
        }
        // Overlong forms, UTF-16 surrogates and past Unicode's end.
        if (code < least || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return false;
        i += extra + 1;
    }
    return true;
}

AvahiStringList* toRecords(const Discovery::TextMap& text) {
    AvahiStringList* records = nullptr;
    for (const auto& [key, value] : text) {
        records = avahi_string_list_add_pair_arbitrary(
            records, key.c_str(), reinterpret_cast<const std::uint8_t*>(value.data()),
            value.size());
    }
    return records;
}

}  // namespace

// Everything Avahi: touched only on the Avahi thread (with the poll's lock
// held, as Avahi calls back), except `wanted`, which the owner writes.
struct AvahiDiscovery::Engine {
    struct Wanted {
        bool advertise = false;
        std::string name;
        std::uint16_t port = 0;
        TextMap text;
        std::uint64_t advertiseRound = 0;
        bool browse = false;
        std::uint64_t browseRound = 0;
    };
    struct Published {
        std::string requested;  // empty: nothing published
        std::string name;       // requested, or its alternative after collisions
        std::uint16_t port = 0;
        TextMap text;
        std::uint64_t round = 0;
    };
    // One instance of a service per interface and protocol it is seen on.
    using Instance = std::pair<AvahiIfIndex, AvahiProtocol>;

    AvahiDiscovery& owner;
    AvahiThreadedPoll* poll = nullptr;
    const AvahiPoll* api = nullptr;
    int wakeFd = -1;
    AvahiWatch* wakeWatch = nullptr;
    AvahiTimeout* reconnect = nullptr;
    bool started = false;

    std::mutex mutex;
    Wanted wanted;

    AvahiClient* client = nullptr;
    bool running = false;
    bool warned = false;  // the daemon's absence was logged
    AvahiEntryGroup* group = nullptr;
    Published published;
    AvahiServiceBrowser* browser = nullptr;
    std::uint64_t browseRound = 0;
    std::map<std::string, std::map<Instance, AvahiServiceResolver*>> instances;

    explicit Engine(AvahiDiscovery& o) : owner(o) {
        poll = avahi_threaded_poll_new();
        wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (!poll || wakeFd < 0) {
            log("cannot start the Avahi thread");
            return;
        }
        api = avahi_threaded_poll_get(poll);
        wakeWatch = api->watch_new(api, wakeFd, AVAHI_WATCH_IN, onWake, this);
        // The client is made on the Avahi thread: its first calls may wait for
        // a daemon.
        timeval now{};
        reconnect = api->timeout_new(api, avahi_elapse_time(&now, 0, 0), onReconnect, this);
        started = wakeWatch && reconnect && avahi_threaded_poll_start(poll) == 0;
        if (!started) log("cannot start the Avahi thread");
    }

    ~Engine() {
        // The thread ends first: no callback runs during or after the frees.
        // The client closes its connection before it frees its browsers,
        // resolvers and group, so none of this waits for the daemon.
        if (started) avahi_threaded_poll_stop(poll);
        if (client) avahi_client_free(client);
        if (poll) avahi_threaded_poll_free(poll);  // with its watch and timeout
        if (wakeFd >= 0) ::close(wakeFd);
    }

    void wake() {
        const std::uint64_t one = 1;
        // Fails only when the counter is full, and then a wake-up is due.
        [[maybe_unused]] const auto n = ::write(wakeFd, &one, sizeof one);
    }

    template <typename F>
    void post(F call) {
        QMetaObject::invokeMethod(&owner.context_, std::move(call), Qt::QueuedConnection);
    }

    static void onWake(AvahiWatch*, int fd, AvahiWatchEvent, void* self) {
        std::uint64_t count = 0;
        [[maybe_unused]] const auto n = ::read(fd, &count, sizeof count);
        static_cast<Engine*>(self)->apply();
    }

    static void onReconnect(AvahiTimeout*, void* self) { static_cast<Engine*>(self)->connect(); }

    void connect() {
        if (client) {
            avahi_client_free(client);  // a failed one: its objects are gone with it
            client = nullptr;
        }
        int error = 0;
        // NO_FAIL: without a daemon the client waits for one instead of failing.
        AvahiClient* made =
            avahi_client_new(api, AVAHI_CLIENT_NO_FAIL, onClientState, this, &error);
        if (!made) {
            client = nullptr;
            if (!warned) log(std::string("cannot reach the system bus: ") + avahi_strerror(error));
            warned = true;
            timeval at{};
            api->timeout_update(reconnect, avahi_elapse_time(&at, kBusRetryMs, 0));
            return;
        }
        client = made;
    }

    static void onClientState(AvahiClient* c, AvahiClientState state, void* self) {
        auto& e = *static_cast<Engine*>(self);
        e.client = c;  // the first call comes before avahi_client_new() returns
        e.running = state == AVAHI_CLIENT_S_RUNNING;
        switch (state) {
            case AVAHI_CLIENT_S_RUNNING:
                e.warned = false;
                e.apply();
                break;
            case AVAHI_CLIENT_S_REGISTERING:
            case AVAHI_CLIENT_S_COLLISION:
                // The host name is being (re)registered: services go back up
                // once the client runs again.
                if (e.group) avahi_entry_group_free(e.group);
                e.group = nullptr;
                break;
            case AVAHI_CLIENT_CONNECTING:
                if (!e.warned) log("no avahi-daemon; waiting for one");
                e.warned = true;
                break;
            case AVAHI_CLIENT_FAILURE: {
                // The daemon or the bus went away: this client is dead. A new
                // one (made outside this callback) waits for the daemon.
                if (!e.warned) {
                    log(std::string("lost avahi-daemon: ") + avahi_strerror(avahi_client_errno(c)));
                }
                e.warned = true;
                e.forgetEverything(true);
                if (e.group) avahi_entry_group_free(e.group);
                e.group = nullptr;
                timeval now{};
                e.api->timeout_update(e.reconnect, avahi_elapse_time(&now, 0, 0));
                break;
            }
        }
    }

    // Makes what is published and browsed match what the owner wants.
    void apply() {
        Wanted w;
        {
            std::lock_guard lock(mutex);
            w = wanted;
        }
        if (w.browseRound != browseRound || !w.browse) forgetEverything(false);
        browseRound = w.browseRound;
        if (!client || !running) return;
        applyAdvertise(w);
        if (w.browse && !browser) {
            browser = avahi_service_browser_new(client, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET,
                                                kServiceType, nullptr, {}, onBrowse, this);
            if (!browser) log(std::string("cannot browse: ") + error());
        }
    }

    void applyAdvertise(const Wanted& w) {
        if (!w.advertise) {
            if (group) avahi_entry_group_free(group);
            group = nullptr;
            published = {};
            return;
        }
        // A collision's alternative name stays while the owner keeps its name.
        const bool sameName = !published.requested.empty() && published.requested == w.name;
        if (group && sameName && published.port == w.port) {
            if (published.text != w.text && !updateText(w.text)) {
                publish(published.name, w);
                return;
            }
            published.text = w.text;
            if (published.round != w.advertiseRound) {
                published.round = w.advertiseRound;
                announce();
            }
            return;
        }
        publish(sameName ? published.name : w.name, w);
    }

    bool updateText(const TextMap& text) {
        AvahiStringList* records = toRecords(text);
        const int r = avahi_entry_group_update_service_txt_strlst(
            group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, {}, published.name.c_str(), kServiceType,
            nullptr, records);
        avahi_string_list_free(records);
        return r >= 0;
    }

    // (Re)adds the service to the group under `name`, or the first free
    // alternative of it.
    void publish(std::string name, const Wanted& w) {
        if (group) {
            avahi_entry_group_reset(group);
        } else if (!(group = avahi_entry_group_new(client, onGroupState, this))) {
            log(std::string("cannot publish: ") + error());
            return;
        }
        for (int attempt = 0; attempt < kMaxRenames; ++attempt) {
            AvahiStringList* records = toRecords(w.text);
            const int r = avahi_entry_group_add_service_strlst(
                group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, {}, name.c_str(), kServiceType, nullptr,
                nullptr, w.port, records);
            avahi_string_list_free(records);
            if (r == AVAHI_ERR_COLLISION) {
                name = alternative(name);
                continue;
            }
            const int committed = r < 0 ? r : avahi_entry_group_commit(group);
            if (committed < 0) {
                log("cannot publish \"" + name + "\": " + avahi_strerror(committed));
                avahi_entry_group_reset(group);
                published = {};
                return;
            }
            published = {w.name, name, w.port, w.text, w.advertiseRound};
            announce();
            return;
        }
        log("no free name for \"" + w.name + "\"");
    }

    void announce() {
        post([&o = owner, round = published.round, name = published.name] {
            o.onPublished(round, name);
        });
    }

    static void onGroupState(AvahiEntryGroup* g, AvahiEntryGroupState state, void* self) {
        auto& e = *static_cast<Engine*>(self);
        if (state == AVAHI_ENTRY_GROUP_COLLISION) {
            // Another device took the name first.
            Wanted w;
            w.name = e.published.requested;
            w.port = e.published.port;
            w.text = e.published.text;
            w.advertiseRound = e.published.round;
            e.publish(alternative(e.published.name), w);
        } else if (state == AVAHI_ENTRY_GROUP_FAILURE) {
            log(std::string("publishing failed: ") +
                avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(g))));
        }
    }

    static void onBrowse(AvahiServiceBrowser*, AvahiIfIndex interface, AvahiProtocol protocol,
                         AvahiBrowserEvent event, const char* name, const char* type,
                         const char* domain, AvahiLookupResultFlags, void* self) {
        auto& e = *static_cast<Engine*>(self);
        switch (event) {
            case AVAHI_BROWSER_NEW: {
                auto& slot = e.instances[name][{interface, protocol}];
                if (slot) break;
                // Kept for as long as the instance is there: it calls again
                // when the service's address, port or text change.
                slot = avahi_service_resolver_new(e.client, interface, protocol, name, type, domain,
                                                  AVAHI_PROTO_INET, {}, onResolve, self);
                if (!slot) log(std::string("cannot resolve: ") + e.error());
                break;
            }
            case AVAHI_BROWSER_REMOVE: {
                const auto found = e.instances.find(name);
                if (found == e.instances.end()) break;
                const auto instance = found->second.find({interface, protocol});
                if (instance == found->second.end()) break;
                if (instance->second) avahi_service_resolver_free(instance->second);
                found->second.erase(instance);
                if (!found->second.empty()) break;  // still seen elsewhere
                e.instances.erase(found);
                e.post([&o = e.owner, round = e.browseRound, lost = std::string(name)] {
                    o.onGone(round, lost);
                });
                break;
            }
            case AVAHI_BROWSER_FAILURE:
                log(std::string("browsing failed: ") + e.error());
                e.forgetEverything(true);
                break;
            case AVAHI_BROWSER_CACHE_EXHAUSTED:
            case AVAHI_BROWSER_ALL_FOR_NOW:
                break;
        }
    }

    static void onResolve(AvahiServiceResolver* resolver, AvahiIfIndex, AvahiProtocol,
                          AvahiResolverEvent event, const char* name, const char*, const char*,
                          const char*, const AvahiAddress* address, std::uint16_t port,
                          AvahiStringList* records, AvahiLookupResultFlags, void* self) {
        auto& e = *static_cast<Engine*>(self);
        if (event != AVAHI_RESOLVER_FOUND) {
            // Timed out (a failure names no service): the instance stays,
            // without a resolver.
            for (auto& [service, slots] : e.instances) {
                for (auto& [instance, slot] : slots) {
                    if (slot == resolver) slot = nullptr;
                }
            }
            avahi_service_resolver_free(resolver);
            return;
        }
        if (!address || address->proto != AVAHI_PROTO_INET) return;
        char host[AVAHI_ADDRESS_STR_MAX];
        avahi_address_snprint(host, sizeof host, address);
        Service service{name, host, port, readText(records)};
        e.post([&o = e.owner, round = e.browseRound, service = std::move(service)]() mutable {
            o.onFound(round, std::move(service));
        });
    }

    // Drops the browser and every instance; with `report` the owner hears
    // that the services it knows are gone.
    void forgetEverything(bool report) {
        if (report) {
            for (const auto& [name, slots] : instances) {
                post([&o = owner, round = browseRound, lost = name] { o.onGone(round, lost); });
            }
        }
        for (auto& [name, slots] : instances) {
            for (auto& [instance, resolver] : slots) {
                if (resolver) avahi_service_resolver_free(resolver);
            }
        }
        instances.clear();
        if (browser) avahi_service_browser_free(browser);
        browser = nullptr;
    }

    int errorCode() const { return client ? avahi_client_errno(client) : AVAHI_ERR_DISCONNECTED; }
    const char* error() const { return avahi_strerror(errorCode()); }

    static std::string alternative(const std::string& name) {
        char* next = avahi_alternative_service_name(name.c_str());
        std::string out = next ? next : name + " #2";
        avahi_free(next);
        return out;
    }
};

AvahiDiscovery::AvahiDiscovery() : engine_(std::make_unique<Engine>(*this)) {}

AvahiDiscovery::~AvahiDiscovery() = default;

void AvahiDiscovery::setCallbacks(Callbacks callbacks) {
    callbacks_ = std::move(callbacks);
}

void AvahiDiscovery::advertise(const std::string& name, std::uint16_t port, const TextMap& text) {
    if (!advertising_ || requestedName_ != name) ownName_ = name;
    advertising_ = true;
    requestedName_ = name;
    ++advertiseRound_;
    {
        std::lock_guard lock(engine_->mutex);
        auto& w = engine_->wanted;
        w.advertise = true;
        w.name = name;
        w.port = port;
        w.text = text;
        w.advertiseRound = advertiseRound_;
    }
    engine_->wake();
}

void AvahiDiscovery::browse(bool on) {
    if (on == browsing_) return;
    browsing_ = on;
    ++browseRound_;
    seen_.clear();
    {
        std::lock_guard lock(engine_->mutex);
        engine_->wanted.browse = on;
        engine_->wanted.browseRound = browseRound_;
    }
    engine_->wake();
}

void AvahiDiscovery::stop() {
    advertising_ = false;
    requestedName_.clear();
    ownName_.clear();
    ++advertiseRound_;
    {
        std::lock_guard lock(engine_->mutex);
        engine_->wanted.advertise = false;
        engine_->wanted.advertiseRound = advertiseRound_;
    }
    browse(false);
    engine_->wake();
}

void AvahiDiscovery::onFound(std::uint64_t browseRound, Service service) {
    if (browseRound != browseRound_ || !browsing_) return;
    auto& seen = seen_[service.name];
    if (seen.reported && seen.service == service) return;
    seen.service = std::move(service);
    if (seen.service.name == ownName_) return;
    seen.reported = true;
    if (auto found = callbacks_.found) found(seen.service);
}

void AvahiDiscovery::onGone(std::uint64_t browseRound, const std::string& name) {
    if (browseRound != browseRound_) return;
    const auto it = seen_.find(name);
    if (it == seen_.end()) return;
    const bool reported = it->second.reported;
    seen_.erase(it);
    if (reported) {
        if (auto lost = callbacks_.lost) lost(name);
    }
}

void AvahiDiscovery::onPublished(std::uint64_t advertiseRound, const std::string& name) {
    if (advertiseRound != advertiseRound_ || name == ownName_) return;
    // Renamed after a collision: the service under the old name is the other
    // device's, kept back while that name was ours.
    const std::string previous = std::exchange(ownName_, name);
    const auto it = seen_.find(previous);
    if (it == seen_.end() || it->second.reported) return;
    it->second.reported = true;
    if (auto found = callbacks_.found) found(it->second.service);
}

Discovery::TextMap AvahiDiscovery::readText(const AvahiStringList* records) {
    TextMap text;
    std::size_t total = 0;
    for (auto* r = records; r && text.size() < kMaxTextEntries; r = r->next) {
        total += r->size;
        if (total > kMaxTextBytes) break;
        if (r->size > kMaxRecordBytes) continue;
        const std::string_view record(reinterpret_cast<const char*>(r->text), r->size);
        const auto equals = record.find('=');
        const auto key = record.substr(0, equals);
        const auto value =
            equals == std::string_view::npos ? std::string_view() : record.substr(equals + 1);
        if (key.empty() || !validUtf8(key) || !validUtf8(value)) continue;
        text.emplace(key, value);
    }
    return text;
}

}  // namespace merrowfax

#pragma once

#include <QObject>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "transport/discovery.h"

struct AvahiStringList;

namespace merrowfax {

// Discovery through the Avahi daemon: DNS-SD service type _merrowfax._tcp,
// peers reported with their IPv4 address. Avahi runs on a thread of its own;
// the owner's calls only record what is wanted and wake that thread, so a
// slow or missing daemon never blocks the owner, and every result comes back
// as a queued call on the owner's thread.
//
// No daemon means no peers and one log line. The Avahi client waits for a
// daemon that is not there yet, and one that goes away (restart, crash) is
// waited for again by a new client, which then publishes and browses anew;
// peers seen through the old daemon are reported lost. Without a system bus
// at all the client is retried every few seconds.
class AvahiDiscovery final : public Discovery {
public:
    static constexpr const char* kServiceType = "_merrowfax._tcp";
    // What is taken from another device's TXT records: anything past these
    // is a stranger's junk and is not worth memory or a callback.
    static constexpr std::size_t kMaxRecordBytes = 255;  // a longer record is skipped
    static constexpr std::size_t kMaxTextBytes = 4096;   // reading stops past this
    static constexpr std::size_t kMaxTextEntries = 16;   // and after this many keys

    AvahiDiscovery();
    ~AvahiDiscovery() override;
    AvahiDiscovery(const AvahiDiscovery&) = delete;
    AvahiDiscovery& operator=(const AvahiDiscovery&) = delete;

    void setCallbacks(Callbacks callbacks) override;
    void advertise(const std::string& name, std::uint16_t port, const TextMap& text) override;
    void browse(bool on) override;
    void stop() override;

    // The name this device is published under: the one given to advertise(),
    // or the one Avahi chose after a collision ("name #2"); empty when not
    // advertising. Services of this name are never reported.
    std::string advertisedName() const { return ownName_; }

    // TXT records "key=value" as a text map within the limits above; records
    // whose key or value is not UTF-8, or whose key is empty, are skipped, and
    // of a repeated key the first counts. A record without '=' is a key with
    // an empty value.
    static TextMap readText(const AvahiStringList* records);

private:
    struct Engine;  // the Avahi side

    struct Seen {
        Service service;
        bool reported = false;  // `found` was called for it
    };

    void wake();
    void onFound(std::uint64_t browseRound, Service service);
    void onGone(std::uint64_t browseRound, const std::string& name);
    void onPublished(std::uint64_t advertiseRound, const std::string& name);

    Callbacks callbacks_;
    bool advertising_ = false;
    std::string requestedName_;
    std::string ownName_;
    std::uint64_t advertiseRound_ = 0;
    bool browsing_ = false;
    std::uint64_t browseRound_ = 0;  // results of earlier rounds are stale
    std::map<std::string, Seen> seen_;

    // Destroyed after the engine: posts still queued for it are dropped.
    QObject context_;
    std::unique_ptr<Engine> engine_;
};

}  // namespace merrowfax

#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace merrowfax {

// Finding devices of this service on the local network: this device
// advertises a named service with a small text map and the port it takes
// sessions on, and browses for the others. Every call and every callback is
// on the thread that made the object (the main thread).
class Discovery {
public:
    using TextMap = std::map<std::string, std::string>;

    // A device seen on the network, with an address its sessions can be
    // reached at (IPv4 dotted text) and the text map it publishes.
    struct Service {
        std::string name;  // the instance name: the device's peer key
        std::string host;
        std::uint16_t port = 0;
        TextMap text;
        bool operator==(const Service&) const = default;
    };

    struct Callbacks {
        // A device appeared, or changed its text map or address.
        std::function<void(const Service&)> found;
        // A device went away from the network.
        std::function<void(const std::string& name)> lost;
    };

    virtual ~Discovery() = default;

    virtual void setCallbacks(Callbacks callbacks) = 0;
    // (Re)publishes this device under `name` on `port` with `text`.
    virtual void advertise(const std::string& name, std::uint16_t port, const TextMap& text) = 0;
    // Starts or stops reporting the other devices; stopping forgets them
    // without reports.
    virtual void browse(bool on) = 0;
    // Withdraws the advertisement and stops browsing.
    virtual void stop() = 0;
};

}  // namespace merrowfax

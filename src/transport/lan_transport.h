#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "model/uuid.h"
#include "wire/envelope.h"
#include "wire/frames.h"
#include "wire/peer_event.h"

namespace merrowfax {

// What the app needs from the direct link to devices on the same network.
// The handler may run on any thread; the app moves events to its own.
class LanTransport {
public:
    virtual ~LanTransport() = default;

    virtual void setHandler(std::function<void(wire::PeerEvent)> handler) = 0;
    // This device's label, sent to devices that link to it.
    virtual void setCompanionLabel(const std::string& label) = 0;
    // Stores the own number and name, then (re)starts discovery.
    virtual void start(const std::string& number, const std::string& name) = 0;
    // Stops advertising and browsing and drops every peer.
    virtual void stop() = 0;

    // To the peers of `to` and this number's other devices; true when any
    // connected peer took it.
    virtual bool sendText(const wire::Envelope& envelope, const std::string& to) = 0;
    virtual void sendDelete(const Uuid& id, const std::string& to) = 0;
    virtual void sendDelivered(const Uuid& id, const std::string& to) = 0;
    // True when a device serving that number is connected.
    virtual bool hasPeers(const std::string& number) = 0;
    // The "file" envelope, then the file as a transfer named by its
    // `resource`, to each peer of `to`; true when any peer got it.
    virtual bool sendFile(const wire::Envelope& envelope, const std::filesystem::path& file,
                          const std::string& to) = 0;

    // The keys of the connected peers that serve `number`.
    virtual std::vector<std::string> peers(const std::string& number) = 0;
    // Whether the peer with that key is connected now.
    virtual bool isConnected(const std::string& peerKey) = 0;
    // To those of the peers that are connected, the sender's identity filled
    // in; true when any took it.
    virtual bool sendEnvelope(const wire::Envelope& envelope,
                              const std::vector<std::string>& peerKeys) = 0;
    // Call media prefers the peer with this key while it is connected.
    virtual void setMediaKey(std::optional<std::string> peerKey) = 0;
    // Call audio (kind 2) or video (kind 3) to the media peer, else to the
    // peers of `to`; never retried. Any thread.
    virtual void sendMedia(wire::FrameKind kind, wire::Bytes data, const std::string& to) = 0;
};

// Used until the program has a LAN link: no peer is ever found.
class NoLanTransport final : public LanTransport {
public:
    void setHandler(std::function<void(wire::PeerEvent)>) override {}
    void setCompanionLabel(const std::string&) override {}
    void start(const std::string&, const std::string&) override {}
    void stop() override {}
    bool sendText(const wire::Envelope&, const std::string&) override { return false; }
    void sendDelete(const Uuid&, const std::string&) override {}
    void sendDelivered(const Uuid&, const std::string&) override {}
    bool hasPeers(const std::string&) override { return false; }
    bool sendFile(const wire::Envelope&, const std::filesystem::path&,
                  const std::string&) override {
        return false;
    }
    std::vector<std::string> peers(const std::string&) override { return {}; }
    bool isConnected(const std::string&) override { return false; }
    bool sendEnvelope(const wire::Envelope&, const std::vector<std::string>&) override {
        return false;
    }
    void setMediaKey(std::optional<std::string>) override {}
    void sendMedia(wire::FrameKind, wire::Bytes, const std::string&) override {}
};

}  // namespace merrowfax

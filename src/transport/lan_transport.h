#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "wire/envelope.h"
#include "wire/frames.h"
#include "wire/peer_event.h"

namespace merrowfax {

// What the app needs from the direct link to devices on the same network:
// who is connected and serves which number, and sends to chosen peers. Which
// peers get what is the router's business (app/router.h). The handler may
// run on any thread; the app moves events to its own.
class LanTransport {
public:
    virtual ~LanTransport() = default;

    virtual void setHandler(std::function<void(wire::PeerEvent)> handler) = 0;
    // This device's label, sent to devices that link to it.
    virtual void setCompanionLabel(const std::string& label) = 0;
    // This device's identity (the text of its device id); before start().
    virtual void setDevice(const std::string& deviceId) = 0;
    // The service's latest statement of this device's number, which peers
    // need before they take anything from it but linking; empty: none.
    virtual void setStatement(const std::string& statement) = 0;
    // Stores the own number and name, then (re)starts discovery.
    virtual void start(const std::string& number, const std::string& name) = 0;
    // Stops advertising and browsing and drops every peer.
    virtual void stop() = 0;

    // The keys of the connected peers that serve `number`. Any thread.
    virtual std::vector<std::string> peers(const std::string& number) = 0;
    // To those of the peers that are connected, the sender's identity filled
    // in; true when any took it.
    virtual bool sendEnvelope(const wire::Envelope& envelope,
                              const std::vector<std::string>& peerKeys) = 0;
    // Call audio (kind 2), video (kind 3) or a walkie clip (kind 4) to those
    // of the peers that are connected, never retried; true when any was.
    // Any thread.
    virtual bool sendMedia(wire::FrameKind kind, const wire::Bytes& data,
                           const std::vector<std::string>& peerKeys) = 0;
    // The "file" envelope, then the file as a transfer named by its
    // `resource`, to those of the peers that are connected; true when any
    // got it.
    virtual bool sendFile(const wire::Envelope& envelope, const std::filesystem::path& file,
                          const std::vector<std::string>& peerKeys) = 0;

    // Device linking. The code this device shows, advertised as "k"; empty:
    // none.
    virtual void setHostedCode(const std::string& code) = 0;
    // The code this device looks for, and its identity with the relay
    // service; empty: not looking. While looking the link browses even
    // without a number, says "link-hello" to the device in session that
    // advertises that code (and to no other: the hello carries the
    // identity), and takes "link-account" and a snapshot only from it (a
    // snapshot also once from the device whose "link-account" it took,
    // after the search ended).
    virtual void setSeekCode(const std::string& code, const std::string& computer) = 0;
    // A snapshot file to one connected peer.
    virtual bool sendSnapshot(const std::filesystem::path& file, const std::string& peerKey) = 0;
};

// Used until the program has a LAN link: no peer is ever found.
class NoLanTransport final : public LanTransport {
public:
    void setHandler(std::function<void(wire::PeerEvent)>) override {}
    void setCompanionLabel(const std::string&) override {}
    void setDevice(const std::string&) override {}
    void setStatement(const std::string&) override {}
    void start(const std::string&, const std::string&) override {}
    void stop() override {}
    std::vector<std::string> peers(const std::string&) override { return {}; }
    bool sendEnvelope(const wire::Envelope&, const std::vector<std::string>&) override {
        return false;
    }
    bool sendMedia(wire::FrameKind, const wire::Bytes&, const std::vector<std::string>&) override {
        return false;
    }
    bool sendFile(const wire::Envelope&, const std::filesystem::path&,
                  const std::vector<std::string>&) override {
        return false;
    }
    void setHostedCode(const std::string&) override {}
    void setSeekCode(const std::string&, const std::string&) override {}
    bool sendSnapshot(const std::filesystem::path&, const std::string&) override { return false; }
};

}  // namespace merrowfax

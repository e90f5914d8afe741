#pragma once

#include <QNetworkAccessManager>
#include <QObject>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "transport/discovery.h"
#include "transport/lan_identity.h"
#include "transport/lan_sessions.h"
#include "transport/lan_transport.h"
#include "wire/number_statement.h"
#include "wire/receive.h"

namespace merrowfax {

// The direct link to devices of this service on the same network. It
// advertises this device, browses for the others, invites every device it
// finds into a session (TLS over TCP, with call media as sealed datagrams),
// learns from each session's "roster" which number the device serves, and
// turns what arrives into events.
//
// A number is taken only with proof: the roster's statement, signed by the
// relay service, must verify against the service's key, name that number,
// be unexpired and name the certificate the session came with. Until then
// (and again once it expires) the peer serves no number: nothing is routed
// to it, and of what it sends only linking records and snapshots count.
// Whatever number its envelopes carry, they are taken as from the number it
// proved.
//
// Lives on the main thread, which runs a Qt event loop: discovery, sessions
// and envelopes are handled there. peers() and sendMedia() may be called from
// any thread; the handler is called on the main thread, except for received
// call audio, video and walkie clips, which it gets on the link's media
// thread.
class PeerLink final : public QObject, public LanTransport {
public:
    // What the command-line client shows of each device it knows.
    struct PeerInfo {
        std::string key, number, name;
        bool connected = false;
        bool operator==(const PeerInfo&) const = default;
    };

    // Without an identity (its file could be neither read nor made) the
    // device is still found and finds others, but takes and makes no
    // sessions.
    PeerLink(std::unique_ptr<Discovery> discovery, std::optional<LanIdentity> identity);
    ~PeerLink() override;
    PeerLink(const PeerLink&) = delete;
    PeerLink& operator=(const PeerLink&) = delete;

    void setHandler(std::function<void(wire::PeerEvent)> handler) override;
    void setCompanionLabel(const std::string& label) override;
    void setDevice(const std::string& deviceId) override;
    void setStatement(const std::string& statement) override;
    void start(const std::string& number, const std::string& name) override;
    void stop() override;
    std::vector<std::string> peers(const std::string& number) override;
    bool sendEnvelope(const wire::Envelope& envelope,
                      const std::vector<std::string>& peerKeys) override;
    bool sendMedia(wire::FrameKind kind, const wire::Bytes& data,
                   const std::vector<std::string>& peerKeys) override;
    bool sendFile(const wire::Envelope& envelope, const std::filesystem::path& file,
                  const std::vector<std::string>& peerKeys) override;

    // (Re)starts advertising, and browsing when this device has a number.
    void startDiscovery();
    // The key statements verify against; rosters already heard are checked
    // again with it.
    void setServiceKey(const wire::VerifyKey& key);
    // Fetches that key from the service once, keeping it in `file`.
    void fetchServiceKey(const QUrl& keyUrl, const std::filesystem::path& file);
    void setHostedCode(const std::string& code) override;
    void setSeekCode(const std::string& code, const std::string& computer) override;
    bool sendSnapshot(const std::filesystem::path& file, const std::string& peerKey) override;

    // "m-" and the first 8 characters of the device id: this device's name
    // on the network.
    std::string ownKey() const;
    // Every device seen or connected, by key.
    std::vector<PeerInfo> peerList() const;
    // The TCP port sessions are taken on; 0 without an identity.
    std::uint16_t port() const;

    // "file" envelopes still waiting for their bytes, by resource name. At
    // most this many are kept; the oldest goes first.
    static constexpr std::size_t kMaxPendingFiles = 256;
    // Devices seen on the network that are kept track of; more are ignored.
    static constexpr std::size_t kMaxSeenDevices = 256;
    std::size_t pendingFileCount() const;

private:
    void found(const Discovery::Service& service);
    void lost(const std::string& name);
    void invite(const std::string& key);
    void stateChanged(const std::string& key, lan::Sessions::State state);
    void received(const std::string& key, std::span<const std::byte> message);
    void receivedMedia(const std::string& key, std::span<const std::byte> message);
    void resourceArrived(const std::string& key, const std::string& name,
                         const std::filesystem::path& file);
    void handleEnvelope(const std::string& key, const wire::Envelope& envelope);
    void rememberSessionPeer(const std::string& key);
    bool resourceWanted(const std::string& key, const std::string& name) const;
    void sendRoster(const std::string& key);
    void sendLinkHello(const std::string& key);
    // Whether `key` advertises the code sought now; under lock_.
    bool advertisesSoughtCode(const std::string& key) const;
    // Whether linking may take a snapshot from `key`; under lock_.
    bool snapshotAllowed(const std::string& key) const;
    // Checks the claims heard against the key and the clock, and plans the
    // next check for when the first proof runs out.
    void proveClaims();
    void publishOnline();
    void emit(wire::PeerEvent event);
    std::string numberOf(const std::string& key) const;
    std::vector<std::string> connectedAmong(const std::vector<std::string>& keys) const;

    std::unique_ptr<Discovery> discovery_;
    const std::optional<LanIdentity> identity_;
    // Made by setDevice(), on the main thread, before any other thread
    // calls in; null without an identity.
    std::unique_ptr<lan::Sessions> sessions_;
    QTimer retry_;                                 // invites found devices that are not connected
    QTimer expiry_;                                // the first proof runs out
    std::unique_ptr<QNetworkAccessManager> http_;  // for the service's key

    // Guards every field below.
    mutable std::mutex lock_;
    std::function<void(wire::PeerEvent)> handler_;
    std::string companionLabel_ = "Merrowfax";
    std::string ownKey_;
    std::string deviceId_;
    std::string myNumber_, myName_;
    bool started_ = false;
    std::string hostedCode_;
    std::string seekCode_, seekComputer_;
    std::string linkHost_;  // the device whose "link-account" was taken
    bool linkSnapshotTaken_ = false;
    std::map<std::string, Discovery::Service> peerByKey_;  // seen on the network
    std::map<std::string, std::string> numberByKey_;
    std::map<std::string, std::string> nameByKey_;
    std::map<std::string, std::chrono::steady_clock::time_point> invitedAt_;
    struct Claim {
        std::string number, statement;
    };
    std::map<std::string, Claim> claimByKey_;  // the latest roster of each session
    std::optional<wire::VerifyKey> serviceKey_;
    std::string ownStatement_;
    struct PendingFile {
        std::string from;  // the peer that announced it
        wire::IncomingFile file;
        std::uint64_t order = 0;
    };
    std::map<std::string, PendingFile> pendingFiles_;
    std::uint64_t nextPendingOrder_ = 0;
};

}  // namespace merrowfax

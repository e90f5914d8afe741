#pragma once

#include <QObject>
#include <QTcpServer>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
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

#include "transport/lan_identity.h"
#include "transport/media_seal.h"

namespace merrowfax::lan {

class Connection;
class FrameBudget;
class MediaSocket;
class SessionLink;

// Sessions with the other devices on the network, each known by its key.
//
// A session is a TLS 1.3 connection both ends authenticate with their
// self-signed certificates. The inviter names itself first ({"key",
// "use":"session", "udp", "sid", "mk"}), the acceptor answers with its own
// names; once its device is proven, a key always comes with the same
// certificate, so no device can take over another's key. On the stream travel
// length-prefixed messages: a byte under 0x80 opens a message for the
// owner, 0x80 and up are the sessions' own (ping, "your datagrams arrive").
// Each side tells the other a UDP port, a session id and a key for the
// datagrams it takes; media goes as sealed datagrams once the peer said
// they arrive, and until then on the stream, dropped when the stream is
// busy. Files and snapshots ("resources") each take a connection of their
// own, {"key", "use":"resource", "name", "size"} and then the bytes, so a
// big file never delays a message or media.
//
// Two devices that find each other invite each other, so a pair may hold
// two sessions. Both keep the one whose inviter has the lower key; the spare
// is still read for lanRetire, then closed.
//
// Every device is a stranger until its owner calls setProven(): a key is
// pinned to a certificate only once proven, a session still unproven after
// lanProof is closed, and strangers get only so many sessions, invitations
// and unnamed connections, so that room is always left for proven devices.
//
// Everything but sendMedia() and the `media` callback runs on the thread
// that made the object, which runs a Qt event loop.
class Sessions final : public QObject {
public:
    enum class State { connecting, connected, notConnected };

    struct Callbacks {
        std::function<void(const std::string& key, State state)> stateChanged;
        // Another session to `key` became the one in use: what the peer must
        // know of this device should go again, on this one.
        std::function<void(const std::string& key)> kept;
        // Whether a resource announced by a device in session is wanted;
        // without this callback none is.
        std::function<bool(const std::string& key, const std::string& name, std::uint64_t size)>
            wanted;
        // A message from the stream of a session.
        std::function<void(const std::string& key, std::span<const std::byte> message)> received;
        // A message that came as a datagram, on the media thread, or a media
        // message (first byte 2 to 4) that came on the stream.
        std::function<void(const std::string& key, std::span<const std::byte> message)> media;
        // A resource arrived whole into `file`, a temporary file that is
        // removed after the call unless the callee moved it.
        std::function<void(const std::string& key, const std::string& name,
                           const std::filesystem::path& file)>
            resource;
    };

    // `ownKey` names this device; `folder` takes incoming resources.
    Sessions(std::string ownKey, LanIdentity identity, std::filesystem::path folder);
    ~Sessions() override;

    void setCallbacks(Callbacks callbacks);
    // Starts taking sessions on every IPv4 address: the TCP port, 0 when
    // none could be had. A second call returns the same port.
    std::uint16_t listen();
    std::uint16_t port() const;

    // Opens a session to the device `key` at `host`:`port`, unless one is
    // open or being opened; gives up after lanInvite. Only addresses on a
    // network of this machine are invited. False when no invitation went
    // out, for example because too many are waiting already.
    bool invite(const std::string& key, const std::string& host, std::uint16_t port);

    // The device of `key` proved a number with the certificate of its
    // session: the key stays pinned to that certificate, its sessions are
    // no longer strangers'.
    void setProven(const std::string& key);
    bool wasProven(const std::string& key) const;

    bool isConnected(const std::string& key) const;  // any thread
    std::vector<std::string> connected() const;      // any thread
    // Sessions open to `key`: 2 while a spare is being retired.
    std::size_t openSessions(const std::string& key) const;
    // The fingerprint of the certificate `key` came with; empty when none.
    std::string peerFingerprint(const std::string& key) const;
    // Connections held now: sessions, transfers and those not named yet.
    std::size_t connectionCount() const;

    // A message on the session's stream, in order; false when not connected.
    bool send(const std::string& key, std::span<const std::byte> message);
    // A media message, never retried: a datagram when they arrive, else on
    // the stream unless it is busy. Any thread; false when not sent.
    bool sendMedia(const std::string& key, std::span<const std::byte> message);
    // The file as a resource named `name` (a safe file name); false when not
    // connected or the file cannot be opened. Best effort from then on.
    bool sendResource(const std::string& key, const std::string& name,
                      const std::filesystem::path& file);

    // Closes every session and transfer; nothing is reported.
    void disconnectAll();

    // Names a resource may have: "file-" or "snap-" followed by a UUID text,
    // a snapshot's ending in ".json".
    static bool validResourceName(const std::string& name);
    // The largest resource of that name taken; 0 for an invalid name.
    static std::uint64_t resourceBound(const std::string& name);

private:
    // Each session is a SessionLink; the handshake is in lan_handshake.cpp,
    // the transfers in lan_transfers.cpp.
    struct Pending;
    struct Upload;
    struct Download;
    class Listener;
    struct Inbound {
        std::uint64_t id;
        SessionKey key;
    };

    void accepted(qintptr descriptor);
    void track(const std::shared_ptr<Pending>& pending,
               std::optional<std::chrono::milliseconds> deadline = std::nullopt);
    void greeted(const std::shared_ptr<Pending>& pending, std::span<const std::byte> hello);
    void startSession(const std::shared_ptr<Pending>& pending, const std::string& key,
                      std::uint16_t udpPort, std::uint16_t tcpPort, std::uint64_t sid,
                      const SessionKey& sealKey);
    void startDownload(const std::shared_ptr<Pending>& pending, const std::string& key,
                       const std::string& name, std::uint64_t size);
    void endDownload(const std::shared_ptr<Download>& download, bool whole);
    void endUpload(const std::shared_ptr<Upload>& upload);
    void closeTransfers();

    bool admitSession(const std::shared_ptr<Pending>& pending, const std::string& key,
                      const std::string& fingerprint);
    void startUpload(const std::string& key, const std::string& name,
                     const std::filesystem::path& file, int attempt);
    void retryUpload(const std::shared_ptr<Upload>& upload);
    void closeSessions(const std::string& key);
    // Closes the session and lets another of its key take over, if any.
    void endSession(const SessionLink& link);
    void promote(const std::string& key);
    std::shared_ptr<SessionLink> active(const std::string& key) const;
    void report(const std::string& key, State state);
    void drop(const std::shared_ptr<Pending>& pending);
    std::string helloFor(const std::string& use, const Inbound* inbound) const;
    // Keeps `held` until the event loop runs again: its own callbacks or
    // timers may be on the stack.
    template <typename T>
    void releaseLater(std::shared_ptr<T> held) {
        QMetaObject::invokeMethod(
            this, [held = std::move(held)] {}, Qt::QueuedConnection);
    }

    const std::string ownKey_;
    const LanIdentity identity_;
    const std::filesystem::path folder_;
    Callbacks callbacks_;
    std::unique_ptr<Listener> listener_;
    std::unique_ptr<MediaSocket> media_;

    std::set<std::shared_ptr<Pending>> pending_;  // not named yet
    std::map<std::string, std::vector<std::shared_ptr<SessionLink>>> sessions_;
    std::set<std::string> inviting_;
    // The certificate each key came with: while in session, and for proven
    // devices (at most kMaxKnownDevices of them) after.
    struct Pin {
        std::string fingerprint;
        bool proven = false;
        std::uint64_t used = 0;  // for letting go of the longest unused
    };
    std::map<std::string, Pin> pins_;
    std::uint64_t pinClock_ = 0;
    std::shared_ptr<FrameBudget> budget_;
    std::set<std::shared_ptr<Upload>> uploads_;
    std::set<std::shared_ptr<Download>> downloads_;

    // The session in use per key, for sendMedia() from other threads.
    mutable std::mutex activeLock_;
    std::map<std::string, std::shared_ptr<SessionLink>> active_;
};

}  // namespace merrowfax::lan

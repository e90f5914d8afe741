#pragma once

#include <QObject>
#include <QTimer>

#include <cstddef>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "model/records.h"
#include "transport/lan_transport.h"
#include "transport/net_transport.h"
#include "wire/peer_event.h"

namespace merrowfax {

// What device linking asks of the rest of the program.
class LinkHost {
public:
    virtual const Uuid& deviceId() const = 0;
    virtual const std::optional<Account>& account() const = 0;
    // "iPhone", "iPad" or "Mac".
    virtual const std::string& deviceLabel() const = 0;
    // Shows and stores `account` (nothing: no account).
    virtual void adoptAccount(std::optional<Account> account) = 0;
    // Starts both paths as `account`, presenting no PIN.
    virtual void connectAs(const Account& account, const std::string& pin,
                           const std::string& newPin, bool includeKind) = 0;
    // Contacts, chats, calls and directory as they are now; `linked` empty.
    virtual SyncSnapshot currentData() const = 0;
    // Replaces contacts, chats, calls and directory with the snapshot's.
    virtual void replaceData(SyncSnapshot data) = 0;
    // Forgets the account and everything of it on this device.
    virtual void resetDevice() = 0;

protected:
    ~LinkHost() = default;
};

// Puts a number on a further device. The device with the number (the host)
// shows a 6-character code; the new device (the seeker) types it; over the
// LAN link the host hands over the number and a snapshot of its data, and
// both record each other as linked devices. The relay service learns to let
// the seeker's computer register without the PIN.
//
// Nothing on the network is taken on trust: an account only from the device
// advertising the code typed here (checked by the LAN link), a snapshot once
// and only from that device, a "link-joined" only from a device the account
// was handed to, and "unlink" only from a proven device of our number that
// is among our linked devices. A peer that guesses wrong codes is ignored
// after a few, and a code lives at most timings().linkCodeLife.
//
// The model owns it and publishes it as `linking`; all of it runs on the
// main thread.
class LinkController : public QObject {
    Q_OBJECT
    Q_PROPERTY(std::string linkStatus READ linkStatus NOTIFY linkStatusChanged)
    Q_PROPERTY(
        std::optional<std::string> hostedLinkCode READ hostedLinkCode NOTIFY hostedLinkCodeChanged)

public:
    // Wrong codes one peer may try before it is ignored until the code changes.
    static constexpr int kWrongCodesPerPeer = 10;
    // Peers whose wrong codes are counted; hellos from further ones are ignored.
    static constexpr std::size_t kMaxGuessers = 256;
    // Biggest snapshot file read.
    static constexpr std::uintmax_t kMaxSnapshotBytes = 64ull * 1024 * 1024;

    // `computer` is this computer's identity with the relay service.
    LinkController(LinkHost& host, LanTransport& lan, NetTransport& line, std::string computer,
                   QObject* parent = nullptr);

    const std::string& linkStatus() const { return status_; }
    const std::optional<std::string>& hostedLinkCode() const { return hosted_.code; }
    // A snapshot that came before the account, waiting for it.
    const std::optional<std::filesystem::path>& pendingSnapshot() const { return seek_.pending; }

    // Six characters of the code alphabet, from the system's random source.
    static std::string drawLinkCode();
    // Upper case, letters and digits only.
    static std::string normalizeLinkCode(std::string_view typed);

    // Host: shows a new code (returned), withdraws it.
    std::string hostLinkCode();
    void stopHosting();
    // Seeker: looks for the device showing `typed`.
    void seekLinkCode(std::string_view typed);
    // Removes a linked device from this number, on every device of it.
    void unlinkDevice(const std::string& id);
    // This device's name in other devices' lists: its label and the start
    // of its device id.
    std::string companionName() const;
    // The snapshot file of this device's data, in the temporary folder.
    std::optional<std::filesystem::path> makeSnapshot();
    // Replaces this device's data with a snapshot file's; false when it
    // could not be read (nothing changes then).
    bool applySnapshot(const std::filesystem::path& file);

    void handle(const wire::events::LinkHello& hello);
    void handle(const wire::events::LinkAccount& offer);
    void handle(const wire::events::LinkJoined& joined);
    void handle(const wire::events::Unlink& unlink);
    void handle(const wire::events::Snapshot& snapshot);
    // The internet line registered: trust changes that waited go out, and
    // every linked computer is trusted again (a PIN change revokes them).
    void lineOpened();
    // The account left this device: every flow ends.
    void reset();

Q_SIGNALS:
    void linkStatusChanged();
    void hostedLinkCodeChanged();

private:
    // Showing a code.
    struct HostFlow {
        std::optional<std::string> code;
        QTimer expiry;
        std::map<std::string, int> wrongByPeer;  // reset with each code
    };
    // Looking for a code.
    struct SeekFlow {
        std::string code;
        QTimer timeout;
        std::string hostKey;  // the device whose account was taken
        bool snapshotTaken = false;
        std::optional<std::filesystem::path> pending;
        std::string pendingFrom;
    };

    void setStatus(std::string status);
    void setHostedCode(std::optional<std::string> code);
    // Adds or refreshes a linked device; nothing for a device text that is
    // not a UUID.
    bool recordLinked(const std::string& device, const std::string& name,
                      std::optional<std::string> computer);
    void dropPending();
    void trust(const std::string& computer, bool on);

    LinkHost& host_;
    LanTransport& lan_;
    NetTransport& line_;
    const std::string computer_;
    std::string status_;
    HostFlow hosted_;
    SeekFlow seek_;
    // Devices handed the account by this host, until they say they joined.
    std::set<std::string> handedTo_;
    // Untrusts that found the line closed.
    std::vector<std::string> untrustLater_;
};

}  // namespace merrowfax

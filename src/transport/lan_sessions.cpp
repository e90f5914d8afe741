#include "transport/lan_sessions.h"

#include <QHostAddress>

#include <algorithm>

#include "platform/timings.h"
#include "transport/lan_connection.h"
#include "transport/lan_limits.h"
#include "transport/lan_media_socket.h"
#include "transport/lan_session_link.h"
#include "transport/lan_session_parts.h"

// The sessions of each key: starting one once its connection is named,
// which of two is kept, ending them, and what goes out on the one in use.
namespace merrowfax::lan {

// Takes the connections of the listening port.
class Sessions::Listener final : public QTcpServer {
public:
    explicit Listener(Sessions& owner) : owner_(owner) {}

protected:
    void incomingConnection(qintptr descriptor) override { owner_.accepted(descriptor); }

private:
    Sessions& owner_;
};

Sessions::Sessions(std::string ownKey, LanIdentity identity, std::filesystem::path folder)
    : ownKey_(std::move(ownKey)),
      identity_(std::move(identity)),
      folder_(std::move(folder)),
      budget_(std::make_shared<FrameBudget>(kMaxIncompleteBytes)) {}

Sessions::~Sessions() {
    disconnectAll();
    media_.reset();  // its thread stops before the sessions it reports on go
}

void Sessions::setCallbacks(Callbacks callbacks) {
    callbacks_ = std::move(callbacks);
}

std::uint16_t Sessions::listen() {
    if (listener_) return port();
    auto listener = std::make_unique<Listener>(*this);
    listener->setMaxPendingConnections(static_cast<int>(kMaxConnections));
    if (!listener->listen(QHostAddress::AnyIPv4, 0)) return 0;
    listener_ = std::move(listener);
    MediaSocket::Callbacks media;
    media.message = [this](const std::string& key, std::span<const std::byte> message) {
        if (callbacks_.media) callbacks_.media(key, message);
    };
    media.heard = [this](std::uint64_t sessionId) {
        QMetaObject::invokeMethod(
            this,
            [this, sessionId] {
                for (const auto& [key, list] : sessions_) {
                    for (const auto& link : list) {
                        if (link->inboundId() == sessionId) link->heard();
                    }
                }
            },
            Qt::QueuedConnection);
    };
    media_ = std::make_unique<MediaSocket>(std::move(media));
    return port();
}

std::uint16_t Sessions::port() const {
    return listener_ ? listener_->serverPort() : 0;
}

std::size_t Sessions::connectionCount() const {
    std::size_t count = pending_.size() + uploads_.size() + downloads_.size();
    for (const auto& [key, list] : sessions_) count += list.size();
    return count;
}

// --- Sessions ------------------------------------------------------------------

void Sessions::startSession(const std::shared_ptr<Pending>& pending, const std::string& key,
                            std::uint16_t udpPort, std::uint16_t tcpPort, std::uint64_t sid,
                            const SessionKey& sealKey) {
    pending_.erase(pending);
    pending->deadline.stop();
    const bool weInvited = !pending->invited.empty();
    if (weInvited) inviting_.erase(key);

    if (media_) media_->addInbound(pending->inbound.id, pending->inbound.key, key);
    // The acceptor answers with its own names.
    if (!weInvited) pending->connection->send(asBytes(helloFor("session", &pending->inbound)));

    SessionLink::Callbacks callbacks;
    // Media that had to come on the stream goes where datagrams go.
    callbacks.message = [this](SessionLink& link, std::span<const std::byte> message) {
        const auto kind = static_cast<unsigned>(message.front());
        if (kind >= 2 && kind <= 4) {
            if (callbacks_.media) callbacks_.media(link.key(), message);
        } else if (callbacks_.received) {
            callbacks_.received(link.key(), message);
        }
    };
    callbacks.ended = [this](SessionLink& link) {
        endSession(link);
    };
    const auto link = SessionLink::open(std::move(pending->connection),
                                        {.key = key,
                                         .weInvited = weInvited,
                                         .peerUdp = udpPort,
                                         .peerPort = tcpPort,
                                         .inboundId = pending->inbound.id,
                                         .outboundId = sid,
                                         .outboundKey = sealKey},
                                        media_.get(), std::move(callbacks));
    if (!wasProven(key)) link->awaitProof(timings().lanProof);

    auto& list = sessions_[key];
    const bool first = list.empty();
    list.push_back(link);
    promote(key);
    if (first) report(key, State::connected);
}

void Sessions::endSession(const SessionLink& ended) {
    const auto it = sessions_.find(ended.key());
    if (it == sessions_.end()) return;
    auto& list = it->second;
    const auto found = std::find_if(list.begin(), list.end(),
                                    [&](const auto& link) { return link.get() == &ended; });
    if (found == list.end()) return;
    const std::shared_ptr<SessionLink> link = *found;
    list.erase(found);
    if (media_) media_->removeInbound(link->inboundId());
    link->close();
    releaseLater(link);
    const std::string key = link->key();
    {
        std::lock_guard lock(activeLock_);
        // Looked up, not indexed: a missing key must not leave an empty entry.
        if (auto found = active_.find(key); found != active_.end() && found->second == link) {
            active_.erase(found);
        }
    }
    if (list.empty()) {
        sessions_.erase(it);
        {
            std::lock_guard lock(activeLock_);
            active_.erase(key);
        }
        // A key only seen in session is forgotten with it.
        if (!wasProven(key)) pins_.erase(key);
        report(key, State::notConnected);
    } else {
        promote(key);
    }
}

void Sessions::closeSessions(const std::string& key) {
    const auto it = sessions_.find(key);
    if (it == sessions_.end()) return;
    for (const auto& link : std::vector(it->second)) endSession(*link);
}

// Of two sessions to one device, both ends keep the one the lower key
// invited; of two alike (a device that came back), the newer.
void Sessions::promote(const std::string& key) {
    auto& list = sessions_[key];
    const bool weAreLower = ownKey_ < key;
    std::shared_ptr<SessionLink> keeper;
    for (const auto& link : list) {
        if (link->retiring()) continue;
        if (!keeper || link->weInvited() == weAreLower || keeper->weInvited() != weAreLower) {
            keeper = link;
        }
    }
    if (!keeper) keeper = list.back();
    std::shared_ptr<SessionLink> before;
    {
        std::lock_guard lock(activeLock_);
        auto& current = active_[key];
        before = std::exchange(current, keeper);
    }
    for (const auto& link : list) {
        if (link != keeper && !link->retiring()) link->retire(timings().lanRetire);
    }
    if (before && before != keeper && callbacks_.kept) callbacks_.kept(key);
}

void Sessions::setProven(const std::string& key) {
    const auto list = sessions_.find(key);
    const auto pin = pins_.find(key);
    if (list == sessions_.end() || pin == pins_.end() || pin->second.proven) return;
    for (const auto& link : list->second) link->proven();
    pin->second.proven = true;
    pin->second.used = ++pinClock_;
    std::size_t kept = 0;
    for (const auto& [other, p] : pins_) kept += p.proven ? 1 : 0;
    if (kept <= kMaxKnownDevices) return;
    // The proven device unused for longest, and not in session, is forgotten.
    auto oldest = pins_.end();
    for (auto it = pins_.begin(); it != pins_.end(); ++it) {
        if (it->second.proven && !sessions_.contains(it->first) &&
            (oldest == pins_.end() || it->second.used < oldest->second.used)) {
            oldest = it;
        }
    }
    if (oldest != pins_.end()) pins_.erase(oldest);
}

std::shared_ptr<SessionLink> Sessions::active(const std::string& key) const {
    std::lock_guard lock(activeLock_);
    const auto it = active_.find(key);
    return it == active_.end() ? nullptr : it->second;
}

void Sessions::report(const std::string& key, State state) {
    if (callbacks_.stateChanged) callbacks_.stateChanged(key, state);
}

bool Sessions::isConnected(const std::string& key) const {
    std::lock_guard lock(activeLock_);
    return active_.contains(key);
}

std::string Sessions::peerFingerprint(const std::string& key) const {
    const auto it = pins_.find(key);
    return it == pins_.end() ? std::string() : it->second.fingerprint;
}

std::size_t Sessions::openSessions(const std::string& key) const {
    const auto it = sessions_.find(key);
    return it == sessions_.end() ? 0 : it->second.size();
}

std::vector<std::string> Sessions::connected() const {
    std::lock_guard lock(activeLock_);
    std::vector<std::string> keys;
    for (const auto& [key, link] : active_) keys.push_back(key);
    return keys;
}

bool Sessions::send(const std::string& key, std::span<const std::byte> message) {
    const auto link = active(key);
    return link && link->send(message);
}

bool Sessions::sendMedia(const std::string& key, std::span<const std::byte> message) {
    // Under the lock throughout: the main thread lets go of a link only after
    // taking it out of active_, so it stays whole while in use here.
    std::lock_guard lock(activeLock_);
    const auto it = active_.find(key);
    return it != active_.end() && it->second->sendMedia(message);
}

void Sessions::disconnectAll() {
    for (const auto& pending : std::set(pending_)) {
        pending->connection->setCallbacks({});
        pending->connection->close();
    }
    pending_.clear();
    inviting_.clear();
    for (auto& [key, list] : sessions_) {
        for (const auto& link : list) {
            if (media_) media_->removeInbound(link->inboundId());
            link->abandon();
        }
    }
    {
        std::lock_guard lock(activeLock_);
        active_.clear();
    }
    sessions_.clear();
    closeTransfers();
}

}  // namespace merrowfax::lan

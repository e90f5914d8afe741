#include "transport/lan_sessions.h"

#include <QHostAddress>
#include <QTimer>

#include <algorithm>

#include "platform/timings.h"
#include "transport/lan_connection.h"
#include "transport/lan_limits.h"
#include "transport/lan_media_socket.h"
#include "transport/lan_session_parts.h"

// The sessions of each key: starting one once its connection is named,
// keeping it, which of two is kept, ending them, and what goes out on the
// one in use.
namespace merrowfax::lan {
namespace {

// The sessions' own messages on a stream; the owner's open with a byte
// under 0x80.
constexpr std::byte kPing{0x80};
constexpr std::byte kHeard{0x82};  // "your datagrams arrive"
// Datagram probes at lanUdpProbe before they slow to lanPing.
constexpr int kQuickProbes = 40;

}  // namespace

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
                    for (const auto& session : list) {
                        if (session->inboundId == sessionId) {
                            session->connection->send({&kHeard, 1});
                        }
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

void Sessions::setProven(const std::string& key) {
    const auto list = sessions_.find(key);
    const auto pin = pins_.find(key);
    if (list == sessions_.end() || pin == pins_.end() || pin->second.proven) return;
    for (const auto& session : list->second) session->proof.stop();
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

void Sessions::closeSessions(const std::string& key) {
    const auto it = sessions_.find(key);
    if (it == sessions_.end()) return;
    for (const auto& session : std::vector(it->second)) sessionClosed(session);
}

// --- Sessions ------------------------------------------------------------------

void Sessions::startSession(const std::shared_ptr<Pending>& pending, const std::string& key,
                            std::uint16_t udpPort, std::uint16_t tcpPort, std::uint64_t sid,
                            const SessionKey& sealKey) {
    pending_.erase(pending);
    pending->deadline.stop();
    const bool weInvited = !pending->invited.empty();
    if (weInvited) inviting_.erase(key);

    auto session = std::make_shared<Session>();
    session->key = key;
    session->weInvited = weInvited;
    session->connection = std::move(pending->connection);
    session->connection->setMaxMessage(kMaxFrame);
    session->peerIpv4 = session->connection->peerIpv4();
    session->peerUdp = udpPort;
    session->peerPort = tcpPort;
    session->sealer = std::make_unique<DatagramSealer>(sid, sealKey);

    session->inboundId = pending->inbound.id;
    if (media_) media_->addInbound(pending->inbound.id, pending->inbound.key, key);
    // The acceptor answers with its own names.
    if (!weInvited) session->connection->send(asBytes(helloFor("session", &pending->inbound)));

    std::weak_ptr<Session> weak = session;
    Connection::Callbacks callbacks;
    callbacks.message = [this, weak](std::span<const std::byte> message) {
        if (auto s = weak.lock()) sessionMessage(s, message);
    };
    callbacks.closed = [this, weak] {
        if (auto s = weak.lock()) sessionClosed(s);
    };
    session->connection->setCallbacks(std::move(callbacks));

    session->ping.setInterval(timings().lanPing);
    connect(&session->ping, &QTimer::timeout, this, [weak] {
        if (auto s = weak.lock()) s->connection->send({&kPing, 1});
    });
    session->ping.start();
    session->idle.setSingleShot(true);
    session->idle.setInterval(timings().lanIdle);
    connect(&session->idle, &QTimer::timeout, this, [this, weak] {
        if (auto s = weak.lock()) sessionClosed(s);
    });
    session->idle.start();
    // Probes until the peer says they arrive; media goes on the stream till then.
    session->probe.setInterval(timings().lanUdpProbe);
    connect(&session->probe, &QTimer::timeout, this, [this, weak] {
        auto s = weak.lock();
        if (!s || s->theyHear || !media_) return;
        media_->send(*s->sealer, s->peerIpv4, s->peerUdp, {});
        // Datagrams that do not arrive in the first seconds may be blocked:
        // then a probe now and then is enough to notice a change.
        if (++s->probes == kQuickProbes) s->probe.setInterval(timings().lanPing);
    });
    if (media_ && udpPort != 0) {
        session->probe.start();
        media_->send(*session->sealer, session->peerIpv4, session->peerUdp, {});
    }
    session->proof.setSingleShot(true);
    connect(&session->proof, &QTimer::timeout, this, [this, weak] {
        if (auto s = weak.lock()) sessionClosed(s);
    });
    if (!wasProven(key)) session->proof.start(timings().lanProof);

    auto& list = sessions_[key];
    const bool first = list.empty();
    list.push_back(session);
    promote(key);
    if (first) report(key, State::connected);
}

void Sessions::sessionMessage(const std::shared_ptr<Session>& session,
                              std::span<const std::byte> message) {
    session->idle.start();
    const std::byte kind = message.front();
    if (kind == kPing) return;
    if (kind == kHeard) {
        session->theyHear = true;
        session->probe.stop();
        return;
    }
    if (static_cast<unsigned>(kind) >= 0x80) return;
    const auto value = static_cast<unsigned>(kind);
    if (value >= 2 && value <= 4) {
        if (callbacks_.media) callbacks_.media(session->key, message);
    } else if (callbacks_.received) {
        callbacks_.received(session->key, message);
    }
}

void Sessions::sessionClosed(const std::shared_ptr<Session>& session) {
    const auto it = sessions_.find(session->key);
    if (it == sessions_.end()) return;
    auto& list = it->second;
    const auto found = std::find(list.begin(), list.end(), session);
    if (found == list.end()) return;
    list.erase(found);
    if (media_) media_->removeInbound(session->inboundId);
    session->ping.stop();
    session->idle.stop();
    session->probe.stop();
    session->retire.stop();
    session->proof.stop();
    session->connection->close();
    releaseLater(session);
    const std::string key = session->key;
    {
        std::lock_guard lock(activeLock_);
        if (active_[key] == session) active_.erase(key);
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

// Of two sessions to one device, both ends keep the one the lower key
// invited; of two alike (a device that came back), the newer.
void Sessions::promote(const std::string& key) {
    auto& list = sessions_[key];
    const bool weAreLower = ownKey_ < key;
    std::shared_ptr<Session> keeper;
    for (const auto& session : list) {
        if (session->retiring) continue;
        if (!keeper || session->weInvited == weAreLower || keeper->weInvited != weAreLower) {
            keeper = session;
        }
    }
    if (!keeper) keeper = list.back();
    std::shared_ptr<Session> before;
    {
        std::lock_guard lock(activeLock_);
        auto& current = active_[key];
        before = std::exchange(current, keeper);
    }
    for (const auto& session : list) {
        if (session == keeper || session->retiring) continue;
        session->retiring = true;
        session->retire.setSingleShot(true);
        std::weak_ptr<Session> weak = session;
        connect(&session->retire, &QTimer::timeout, this, [this, weak] {
            if (auto s = weak.lock()) sessionClosed(s);
        });
        session->retire.start(timings().lanRetire);
    }
    if (before && before != keeper && callbacks_.kept) callbacks_.kept(key);
}

std::shared_ptr<Sessions::Session> Sessions::active(const std::string& key) const {
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
    for (const auto& [key, session] : active_) keys.push_back(key);
    return keys;
}

bool Sessions::send(const std::string& key, std::span<const std::byte> message) {
    const auto session = active(key);
    return session && session->connection->send(message);
}

bool Sessions::sendMedia(const std::string& key, std::span<const std::byte> message) {
    std::weak_ptr<Session> weak;
    {
        std::lock_guard lock(activeLock_);
        const auto it = active_.find(key);
        if (it == active_.end()) return false;
        Session& session = *it->second;
        if (session.theyHear && message.size() <= kMaxSealedMessage && media_) {
            return media_->send(*session.sealer, session.peerIpv4, session.peerUdp, message);
        }
        // The stream is the main thread's; a backed-up main thread drops media.
        if (session.queuedMedia.fetch_add(1) >= kMaxQueuedMedia) {
            --session.queuedMedia;
            return false;
        }
        // Weak, so that only the main thread ever lets go of a session.
        weak = it->second;
    }
    std::vector<std::byte> copy(message.begin(), message.end());
    QMetaObject::invokeMethod(
        this,
        [weak, copy = std::move(copy)] {
            auto session = weak.lock();
            if (!session || !session->connection) return;
            --session->queuedMedia;
            // Never queued behind a file or a backlog: late media is no use.
            if (session->connection->backlog() < kMediaBusyBacklog) session->connection->send(copy);
        },
        Qt::QueuedConnection);
    return true;
}

void Sessions::disconnectAll() {
    for (const auto& pending : std::set(pending_)) {
        pending->connection->setCallbacks({});
        pending->connection->close();
    }
    pending_.clear();
    inviting_.clear();
    for (auto& [key, list] : sessions_) {
        for (const auto& session : list) {
            if (media_) media_->removeInbound(session->inboundId);
            session->connection->setCallbacks({});
            session->connection->close();
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
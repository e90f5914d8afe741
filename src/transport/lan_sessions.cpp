#include "transport/lan_sessions.h"

#include <QHostAddress>
#include <QNetworkInterface>
#include <QTimer>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cstdio>
#include <regex>

#include "platform/timings.h"
#include "transport/lan_connection.h"
#include "transport/lan_limits.h"
#include "transport/lan_media_socket.h"
#include "transport/lan_session_parts.h"
#include "wire/base64.h"
#include "wire/bounded_json.h"

namespace merrowfax::lan {
namespace {

// The sessions' own messages on a stream; the owner's open with a byte
// under 0x80.
constexpr std::byte kPing{0x80};
constexpr std::byte kHeard{0x82};  // "your datagrams arrive"
// Datagram probes at lanUdpProbe before they slow to lanPing.
constexpr int kQuickProbes = 40;

bool validKey(const std::string& key) {
    static const std::regex pattern("^[a-z]-[0-9A-Za-z]{8}$");
    return std::regex_match(key, pattern);
}

std::string hex64(std::uint64_t value) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

std::optional<std::uint64_t> parseHex64(const std::string& text) {
    if (text.size() != 16 || text.find_first_not_of("0123456789abcdef") != std::string::npos) {
        return std::nullopt;
    }
    return std::stoull(text, nullptr, 16);
}

// Loopback, or inside the subnet of one of this machine's interfaces: an
// advertisement naming any other address is not followed.
bool onLocalNetwork(const QHostAddress& address) {
    if (address.isLoopback()) return true;
    for (const QNetworkInterface& interface : QNetworkInterface::allInterfaces()) {
        if (!(interface.flags() & QNetworkInterface::IsUp)) continue;
        for (const QNetworkAddressEntry& entry : interface.addressEntries()) {
            if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol &&
                address.isInSubnet(entry.ip(), entry.prefixLength())) {
                return true;
            }
        }
    }
    return false;
}

std::string stringOf(const rapidjson::Value& object, const char* name) {
    const auto it = object.FindMember(name);
    return it != object.MemberEnd() && it->value.IsString()
               ? std::string(it->value.GetString(), it->value.GetStringLength())
               : std::string();
}

std::optional<std::uint64_t> unsignedOf(const rapidjson::Value& object, const char* name) {
    const auto it = object.FindMember(name);
    if (it == object.MemberEnd() || !it->value.IsUint64()) return std::nullopt;
    return it->value.GetUint64();
}

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

// --- Opening -------------------------------------------------------------------

void Sessions::accepted(qintptr descriptor) {
    auto socket = std::make_unique<QSslSocket>();
    if (!socket->setSocketDescriptor(descriptor)) return;
    bool ok = false;
    const std::uint32_t address = socket->peerAddress().toIPv4Address(&ok);
    std::size_t unnamed = 0, sameAddress = 0;
    for (const auto& p : pending_) {
        if (!p->invited.empty()) continue;
        ++unnamed;
        if (p->address == address) ++sameAddress;
    }
    if (connectionCount() >= kMaxConnections || unnamed >= kMaxUnnamed ||
        sameAddress >= kMaxUnnamedPerAddress) {
        socket->abort();
        return;
    }
    configureTls(*socket, identity_.certificate, identity_.key);
    auto pending = std::make_shared<Pending>();
    pending->address = address;
    QSslSocket* raw = socket.get();
    pending->connection = std::make_unique<Connection>(std::move(socket), kMaxHello);
    pending->connection->setBudget(budget_);
    track(pending);
    raw->startServerEncryption();
}

bool Sessions::invite(const std::string& key, const std::string& host, std::uint16_t port) {
    if (!listener_ || key == ownKey_ || port == 0 || !validKey(key)) return false;
    if (sessions_.contains(key) || inviting_.contains(key)) return false;
    if (connectionCount() >= kMaxConnections) return false;
    if (inviting_.size() >= (wasProven(key) ? kMaxInvitations : kStrangerInvitations)) return false;
    QHostAddress address(QString::fromStdString(host));
    if (address.protocol() != QAbstractSocket::IPv4Protocol || !onLocalNetwork(address)) {
        return false;
    }
    auto socket = std::make_unique<QSslSocket>();
    configureTls(*socket, identity_.certificate, identity_.key);
    auto pending = std::make_shared<Pending>();
    pending->invited = key;
    pending->address = address.toIPv4Address();
    QSslSocket* raw = socket.get();
    pending->connection = std::make_unique<Connection>(std::move(socket), kMaxHello);
    pending->connection->setBudget(budget_);
    inviting_.insert(key);
    track(pending, timings().lanInvite);
    report(key, State::connecting);
    raw->connectToHostEncrypted(address.toString(), port);
    return true;
}

void Sessions::track(const std::shared_ptr<Pending>& pending,
                     std::optional<std::chrono::milliseconds> deadline) {
    pending_.insert(pending);
    std::weak_ptr<Pending> weak = pending;
    Connection::Callbacks callbacks;
    callbacks.encrypted = [this, weak] {
        auto p = weak.lock();
        if (!p) return;
        if (p->connection->peerFingerprint().empty()) return drop(p);
        // The inviter names itself first.
        if (!p->invited.empty()) p->connection->send(asBytes(helloFor("session", &p->inbound)));
    };
    callbacks.message = [this, weak](std::span<const std::byte> hello) {
        if (auto p = weak.lock()) greeted(p, hello);
    };
    callbacks.closed = [this, weak] {
        if (auto p = weak.lock()) drop(p);
    };
    pending->connection->setCallbacks(std::move(callbacks));
    pending->deadline.setSingleShot(true);
    connect(&pending->deadline, &QTimer::timeout, this, [this, weak] {
        if (auto p = weak.lock()) drop(p);
    });
    pending->deadline.start(deadline.value_or(timings().lanHandshake));
}

void Sessions::drop(const std::shared_ptr<Pending>& pending) {
    if (!pending_.erase(pending)) return;
    pending->deadline.stop();
    pending->connection->close();
    if (!pending->invited.empty()) {
        inviting_.erase(pending->invited);
        if (!sessions_.contains(pending->invited)) report(pending->invited, State::notConnected);
    }
    // Its own callbacks or timer may be running: it goes later.
    releaseLater(pending);
}

std::string Sessions::helloFor(const std::string& use, const Inbound* inbound) const {
    rapidjson::StringBuffer text;
    rapidjson::Writer<rapidjson::StringBuffer> out(text);
    out.StartObject();
    out.Key("key");
    out.String(ownKey_.c_str());
    out.Key("use");
    out.String(use.c_str());
    out.Key("port");
    out.Uint(port());
    if (inbound) {
        out.Key("udp");
        out.Uint(media_ ? media_->port() : 0);
        out.Key("sid");
        out.String(hex64(inbound->id).c_str());
        out.Key("mk");
        out.String(wire::encodeBase64({reinterpret_cast<const std::byte*>(inbound->key.data()),
                                       inbound->key.size()})
                       .c_str());
    }
    out.EndObject();
    return text.GetString();
}

bool Sessions::wasProven(const std::string& key) const {
    const auto it = pins_.find(key);
    return it != pins_.end() && it->second.proven;
}

// Whether `key` may open a session with `fingerprint` now. A key is held
// to the certificate its device proved a number with; one only seen so far
// is taken over by another certificate, whose proof then counts, and the
// sessions of the old one are closed. Strangers get only so many sessions.
bool Sessions::admitSession(const std::shared_ptr<Pending>& pending, const std::string& key,
                            const std::string& fingerprint) {
    if (fingerprint.empty()) return false;
    const auto pin = pins_.find(key);
    if (pin != pins_.end() && pin->second.fingerprint == fingerprint && pin->second.proven) {
        pin->second.used = ++pinClock_;
        return true;
    }
    if (pin != pins_.end() && pin->second.proven) return false;
    std::size_t unproven = 0, fromAddress = 0;
    for (const auto& [other, list] : sessions_) {
        if (wasProven(other)) continue;
        for (const auto& session : list) {
            ++unproven;
            if (session->peerIpv4 == pending->connection->peerIpv4()) ++fromAddress;
        }
    }
    if (unproven >= kMaxUnprovenSessions || fromAddress >= kMaxUnprovenPerAddress) return false;
    if (pin != pins_.end() && pin->second.fingerprint != fingerprint) closeSessions(key);
    pins_[key] = Pin{fingerprint, false, ++pinClock_};
    return true;
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

void Sessions::greeted(const std::shared_ptr<Pending>& pending, std::span<const std::byte> hello) {
    rapidjson::Document document;
    const std::string_view json(reinterpret_cast<const char*>(hello.data()), hello.size());
    if (!wire::parseBoundedObject(json, document, kMaxHello)) return drop(pending);
    const std::string key = stringOf(document, "key");
    const std::string use = stringOf(document, "use");
    const std::string fingerprint = pending->connection->peerFingerprint();
    if (!validKey(key) || key == ownKey_) return drop(pending);
    if (!pending->invited.empty() && key != pending->invited) return drop(pending);

    if (use == "resource") {
        const std::string name = stringOf(document, "name");
        const auto size = unsignedOf(document, "size");
        // Only a device in session, with the certificate of its session,
        // and only what its owner waits for.
        const auto pin = pins_.find(key);
        if (!pending->invited.empty() || !sessions_.contains(key) || pin == pins_.end() ||
            pin->second.fingerprint != fingerprint || !size || resourceBound(name) == 0 ||
            *size > resourceBound(name) || !callbacks_.wanted ||
            !callbacks_.wanted(key, name, *size)) {
            return drop(pending);
        }
        return startDownload(pending, key, name, *size);
    }
    if (use != "session") return drop(pending);
    const auto udp = unsignedOf(document, "udp");
    const auto tcp = unsignedOf(document, "port");
    const auto sid = parseHex64(stringOf(document, "sid"));
    const auto mk = wire::decodeBase64(stringOf(document, "mk"), sizeof(SessionKey));
    if (!udp || *udp > 65535 || !tcp || *tcp > 65535 || !sid || *sid == 0 || !mk ||
        mk->size() != sizeof(SessionKey) || !admitSession(pending, key, fingerprint)) {
        return drop(pending);
    }
    SessionKey sealKey;
    std::memcpy(sealKey.data(), mk->data(), sealKey.size());
    startSession(pending, key, static_cast<std::uint16_t>(*udp), static_cast<std::uint16_t>(*tcp),
                 *sid, sealKey);
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

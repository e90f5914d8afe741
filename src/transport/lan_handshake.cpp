#include "transport/lan_sessions.h"

#include <QHostAddress>
#include <QNetworkInterface>
#include <QTimer>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdio>
#include <cstring>
#include <regex>

#include "platform/timings.h"
#include "transport/lan_connection.h"
#include "transport/lan_limits.h"
#include "transport/lan_media_socket.h"
#include "transport/lan_session_link.h"
#include "transport/lan_session_parts.h"
#include "wire/base64.h"
#include "wire/bounded_json.h"

// Connections until they name themselves: accepted and invited ones, their
// hellos, and which of them may become a session or a transfer.
namespace merrowfax::lan {
namespace {

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
        for (const auto& link : list) {
            ++unproven;
            if (link->peerIpv4() == pending->connection->peerIpv4()) ++fromAddress;
        }
    }
    if (unproven >= kMaxUnprovenSessions || fromAddress >= kMaxUnprovenPerAddress) return false;
    if (pin != pins_.end() && pin->second.fingerprint != fingerprint) closeSessions(key);
    pins_[key] = Pin{fingerprint, false, ++pinClock_};
    return true;
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

}  // namespace merrowfax::lan

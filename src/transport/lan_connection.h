#pragma once

#include <QByteArray>
#include <QObject>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QTimer>

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>

namespace merrowfax::lan {

class Connection;

// The memory the connections sharing it hold in messages that have not
// arrived whole. A peer may start a message as big as the bound and never
// finish it; past `limit` bytes in all, the connection holding the most is
// cut, so many half-sent messages cannot add up. Main thread only.
class FrameBudget {
public:
    explicit FrameBudget(std::size_t limit) : limit_(limit) {}
    // `connection` now holds `bytes` (0: nothing).
    void hold(Connection& connection, std::size_t bytes);
    std::size_t held() const { return total_; }

private:
    std::size_t limit_;
    std::size_t total_ = 0;
    std::map<Connection*, std::size_t> held_;
};

// One TLS connection to another device carrying length-prefixed messages: a
// 4-byte big-endian length, then that many bytes. A length of 0 or over the
// current bound, a message that does not arrive whole within lanStall, or a
// reader that lets kMaxBacklog pile up closes the connection. After
// switchToRaw() the bytes that follow are handed over as they come.
//
// Callbacks may destroy the connection; `closed` comes once, queued, and
// never after the connection is destroyed.
class Connection final : public QObject {
public:
    struct Callbacks {
        std::function<void()> encrypted;
        std::function<void(std::span<const std::byte> message)> message;
        std::function<void(std::span<const std::byte> bytes)> raw;
        std::function<void()> written;  // bytes went out (for pacing a transfer)
        std::function<void()> closed;
    };

    // Takes the socket, which is connecting or connected.
    Connection(std::unique_ptr<QSslSocket> socket, std::size_t maxMessage);
    ~Connection() override;

    void setCallbacks(Callbacks callbacks) { callbacks_ = std::move(callbacks); }
    void setMaxMessage(std::size_t bound) { maxMessage_ = bound; }
    // What it holds of incomplete messages counts against `budget`.
    void setBudget(std::shared_ptr<FrameBudget> budget) { budget_ = std::move(budget); }
    void switchToRaw();

    // False, and nothing sent, when closed or the message is empty or too big;
    // a backlog over the bound closes the connection.
    bool send(std::span<const std::byte> message);
    bool sendRaw(std::span<const std::byte> bytes);
    std::size_t backlog() const;
    // Sends what is waiting, then closes.
    void finish();
    void close();
    bool isOpen() const { return !closing_; }

    QSslSocket& socket() { return *socket_; }
    // Lower-case hex SHA-256 of the peer's certificate; empty before the
    // handshake.
    std::string peerFingerprint() const;
    // The peer's IPv4 address, 0 when it is not one.
    std::uint32_t peerIpv4() const;

private:
    friend class FrameBudget;
    void readAvailable();
    void fail();
    void account();

    std::unique_ptr<QSslSocket, void (*)(QSslSocket*)> socket_;
    Callbacks callbacks_;
    std::size_t maxMessage_;
    QByteArray buffer_;
    std::shared_ptr<FrameBudget> budget_;
    bool raw_ = false;
    bool closing_ = false;
    bool reading_ = false;
    QTimer stall_;  // runs while a message is incomplete
};

// The TLS settings of every LAN connection: TLS 1.3, this device's
// certificate, and the peer's certificate asked for; being self-signed, it is
// checked by fingerprint, not by a chain.
void configureTls(QSslSocket& socket, const QSslCertificate& certificate, const QSslKey& key);

}  // namespace merrowfax::lan

#pragma once

#include <QByteArray>
#include <QObject>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QTimer>

#include <cstddef>
#include <functional>
#include <memory>
#include <span>
#include <string>

namespace merrowfax::lan {

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
    void readAvailable();
    void fail();

    std::unique_ptr<QSslSocket, void (*)(QSslSocket*)> socket_;
    Callbacks callbacks_;
    std::size_t maxMessage_;
    QByteArray buffer_;
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

#include "transport/lan_connection.h"

#include <QHostAddress>
#include <QPointer>
#include <QSslConfiguration>

#include <algorithm>
#include <utility>

#include "platform/timings.h"
#include "transport/lan_identity.h"
#include "transport/lan_limits.h"

namespace merrowfax::lan {
namespace {

// The socket goes on the event loop's time: it may be inside one of its own
// signals when the connection is destroyed.
void dropSocket(QSslSocket* socket) {
    if (!socket) return;
    socket->disconnect();
    socket->abort();
    socket->deleteLater();
}

// The big-endian length that opens a message at `at`.
std::uint32_t readLength(const char* at) {
    const auto* p = reinterpret_cast<const unsigned char*>(at);
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

}  // namespace

void FrameBudget::hold(Connection& connection, std::size_t bytes) {
    const auto it = held_.find(&connection);
    if (it != held_.end()) {
        total_ -= it->second;
        if (bytes == 0) {
            held_.erase(it);
        } else {
            it->second = bytes;
        }
    } else if (bytes != 0) {
        held_.emplace(&connection, bytes);
    }
    total_ += bytes;
    while (total_ > limit_ && !held_.empty()) {
        const auto largest =
            std::max_element(held_.begin(), held_.end(),
                             [](const auto& a, const auto& b) { return a.second < b.second; });
        Connection* cut = largest->first;
        total_ -= largest->second;
        held_.erase(largest);
        // fail() gives its share back through hold(..., 0), which finds nothing left.
        cut->fail();
    }
}

void configureTls(QSslSocket& socket, const QSslCertificate& certificate, const QSslKey& key) {
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setProtocol(QSsl::TlsV1_3OrLater);
    tls.setLocalCertificate(certificate);
    tls.setPrivateKey(key);
    tls.setPeerVerifyMode(QSslSocket::QueryPeer);
    tls.setCaCertificates({});
    socket.setSslConfiguration(tls);
    // Self-signed certificates fail every chain check and carry no host
    // name; who the peer is, its fingerprint says.
    QObject::connect(&socket, &QSslSocket::sslErrors, &socket,
                     [&socket](const QList<QSslError>& errors) {
                         for (const QSslError& error : errors) {
                             switch (error.error()) {
                                 case QSslError::SelfSignedCertificate:
                                 case QSslError::HostNameMismatch:
                                 case QSslError::CertificateUntrusted:
                                 case QSslError::UnableToGetLocalIssuerCertificate:
                                 case QSslError::UnableToVerifyFirstCertificate:
                                     break;
                                 default:
                                     return;
                             }
                         }
                         socket.ignoreSslErrors();
                     });
}

Connection::Connection(std::unique_ptr<QSslSocket> socket, std::size_t maxMessage)
    : socket_(socket.release(), &dropSocket), maxMessage_(maxMessage) {
    stall_.setSingleShot(true);
    stall_.setInterval(timings().lanStall);
    connect(&stall_, &QTimer::timeout, this, [this] { fail(); });
    connect(socket_.get(), &QSslSocket::encrypted, this, [this] {
        if (callbacks_.encrypted) callbacks_.encrypted();
    });
    connect(socket_.get(), &QSslSocket::readyRead, this, [this] { readAvailable(); });
    connect(socket_.get(), &QSslSocket::encryptedBytesWritten, this, [this] {
        if (callbacks_.written) callbacks_.written();
    });
    // A peer that closes after its last bytes: those bytes still count, also
    // those that came with the last message and wait to be handed on raw.
    auto ended = [this] {
        QPointer<Connection> self(this);
        const bool waiting = socket_->bytesAvailable() > 0 || (raw_ && !buffer_.isEmpty());
        if (!closing_ && waiting) readAvailable();
        if (self) fail();
    };
    connect(socket_.get(), &QAbstractSocket::disconnected, this, ended);
    connect(socket_.get(), &QAbstractSocket::errorOccurred, this,
            [ended](QAbstractSocket::SocketError) { ended(); });
}

Connection::~Connection() {
    if (budget_) budget_->hold(*this, 0);
}

// What the incomplete message costs: the buffer's allocation, which the
// peer decided by the length it announced.
void Connection::account() {
    if (!budget_) return;
    if (buffer_.isEmpty() && buffer_.capacity() > 64 * 1024) buffer_ = QByteArray();
    budget_->hold(*this, closing_ || raw_ || buffer_.isEmpty()
                             ? 0
                             : static_cast<std::size_t>(buffer_.capacity()));
}

void Connection::switchToRaw() {
    raw_ = true;
    stall_.stop();
    if (!buffer_.isEmpty() && !reading_) {
        // Bytes that came with the last message are the first raw ones.
        QMetaObject::invokeMethod(
            this, [this] { readAvailable(); }, Qt::QueuedConnection);
    }
}

void Connection::readAvailable() {
    if (closing_ || reading_) return;
    reading_ = true;
    QPointer<Connection> self(this);
    buffer_.append(socket_->readAll());
    if (raw_) {
        const QByteArray bytes = std::exchange(buffer_, {});
        const auto onRaw = callbacks_.raw;
        if (!bytes.isEmpty() && onRaw) {
            onRaw({reinterpret_cast<const std::byte*>(bytes.constData()),
                   static_cast<std::size_t>(bytes.size())});
        }
        if (self) reading_ = false;
        return;
    }
    qsizetype offset = 0;
    while (self && !closing_ && !raw_) {
        if (buffer_.size() - offset < 4) break;
        const std::uint32_t length = readLength(buffer_.constData() + offset);
        if (length == 0 || length > maxMessage_) {
            fail();
            break;
        }
        if (buffer_.size() - offset - 4 < static_cast<qsizetype>(length)) break;
        const QByteArray message = buffer_.mid(offset + 4, length);
        offset += 4 + static_cast<qsizetype>(length);
        stall_.stop();
        // A copy: the callback may replace the callbacks.
        if (const auto onMessage = callbacks_.message) {
            onMessage({reinterpret_cast<const std::byte*>(message.constData()),
                       static_cast<std::size_t>(message.size())});
        }
    }
    if (!self) return;
    buffer_.remove(0, offset);
    reading_ = false;
    account();
    if (closing_) return;
    if (raw_) {
        if (!buffer_.isEmpty()) {
            QMetaObject::invokeMethod(
                this, [this] { readAvailable(); }, Qt::QueuedConnection);
        }
    } else if (!buffer_.isEmpty() && !stall_.isActive()) {
        stall_.start();
    }
}

bool Connection::send(std::span<const std::byte> message) {
    if (closing_ || message.empty() || message.size() > maxMessage_) return false;
    if (backlog() + message.size() > kMaxBacklog) {
        fail();
        return false;
    }
    const auto length = static_cast<std::uint32_t>(message.size());
    const char prefix[4] = {static_cast<char>(length >> 24), static_cast<char>(length >> 16),
                            static_cast<char>(length >> 8), static_cast<char>(length)};
    socket_->write(prefix, 4);
    socket_->write(reinterpret_cast<const char*>(message.data()),
                   static_cast<qint64>(message.size()));
    return true;
}

bool Connection::sendRaw(std::span<const std::byte> bytes) {
    if (closing_) return false;
    socket_->write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
    return true;
}

std::size_t Connection::backlog() const {
    return static_cast<std::size_t>(socket_->bytesToWrite() + socket_->encryptedBytesToWrite());
}

void Connection::finish() {
    if (closing_) return;
    socket_->disconnectFromHost();
}

void Connection::close() {
    if (closing_) return;
    closing_ = true;
    stall_.stop();
    socket_->abort();
    account();
}

void Connection::fail() {
    if (closing_) return;
    closing_ = true;
    stall_.stop();
    socket_->abort();
    account();
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (callbacks_.closed) callbacks_.closed();
        },
        Qt::QueuedConnection);
}

std::string Connection::peerFingerprint() const {
    return certificateFingerprint(socket_->peerCertificate());
}

std::uint32_t Connection::peerIpv4() const {
    bool ok = false;
    const std::uint32_t address = socket_->peerAddress().toIPv4Address(&ok);
    return ok ? address : 0;
}

}  // namespace merrowfax::lan

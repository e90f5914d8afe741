#include "transport/internet_line.h"

#include <QDir>
#include <QFile>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QThread>
#include <QUrlQuery>

#include <algorithm>

#include "numbers/unicode_text.h"
#include "platform/diagnostic_log.h"
#include "platform/timings.h"
#include "transport/service_address.h"
#include "wire/envelope_builders.h"
#include "wire/envelope_json.h"
#include "wire/number_statement.h"
#include "wire/receive.h"

namespace merrowfax {
namespace {

// The service lists at most this many characters of a name.
constexpr std::size_t kRegisteredNameLimit = 40;

bool isFourDigits(const std::string& text) {
    return text.size() == 4 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

QString encoded(const std::string& value) {
    return QString::fromLatin1(QUrl::toPercentEncoding(QString::fromStdString(value)));
}

void dropSocket(QWebSocket* socket) {
    if (socket) socket->deleteLater();
}

// What a message of `payload` bytes costs on the socket: the socket reports
// every byte it writes, frame headers and the client's masking keys
// included. Messages over `frameSize` go as several frames.
qint64 wireBytes(qint64 payload, qint64 frameSize) {
    frameSize = std::max<qint64>(1, frameSize);
    qint64 total = 0;
    qint64 left = payload;
    do {
        const qint64 chunk = std::min(left, frameSize);
        const qint64 length = chunk <= 125 ? 0 : chunk <= 0xFFFF ? 2 : 8;
        total += 2 + length + 4 + chunk;
        left -= chunk;
    } while (left > 0);
    return total;
}

}  // namespace

QUrl registrationUrl(const QUrl& service, const LineIdentity& identity) {
    // Every value fully percent-encoded: names may hold "&", "+" or "#". The
    // service refuses a name with control characters, whoever made it, so
    // none leave here.
    const std::string name = unicode::cleanName(identity.name, kRegisteredNameLimit);
    QString query = QStringLiteral("number=") + encoded(identity.number) +
                    QStringLiteral("&name=") + encoded(name) + QStringLiteral("&device=") +
                    encoded(identity.device) + QStringLiteral("&computer=") +
                    encoded(identity.computer);
    if (isFourDigits(identity.pin)) query += QStringLiteral("&pin=") + encoded(identity.pin);
    if (isFourDigits(identity.newPin)) {
        query += QStringLiteral("&newpin=") + encoded(identity.newPin);
    }
    if (identity.accountKind == "business" || identity.accountKind == "personal") {
        query += QStringLiteral("&kind=") + encoded(identity.accountKind);
    }
    if (wire::isCertFingerprint(identity.lanCert)) {
        query += QStringLiteral("&lancert=") + encoded(identity.lanCert);
    }
    QUrl url = liveSocketUrl(service);
    url.setQuery(query, QUrl::StrictMode);
    return url;
}

InternetLine::InternetLine(std::optional<QUrl> service, QObject* parent)
    : QObject(parent), service_(std::move(service)), socket_(nullptr, &dropSocket) {
    reconnect_.setSingleShot(true);
    reconnect_.setInterval(timings().reconnect);
    QObject::connect(&reconnect_, &QTimer::timeout, this, [this] { connect(); });
    keepalive_.setInterval(timings().keepAlive);
    QObject::connect(&keepalive_, &QTimer::timeout, this, [this] { sendPing(); });
}

InternetLine::~InternetLine() {
    discardSocket();
}

bool InternetLine::onOwnThread() const {
    return QThread::currentThread() == thread();
}

void InternetLine::setCallbacks(Callbacks callbacks) {
    callbacks_ = std::move(callbacks);
}

void InternetLine::start(const LineIdentity& identity) {
    {
        std::lock_guard lock(state_);
        identity_ = identity;
        shouldRun_ = true;
    }
    connect();
}

void InternetLine::connect() {
    LineIdentity identity;
    {
        std::lock_guard lock(state_);
        if (!shouldRun_ || identity_.number.empty()) return;
        identity = identity_;
    }
    reconnect_.stop();
    discardSocket();
    markClosed();
    if (!service_) return;

    const QUrl url = registrationUrl(*service_, identity);
    if (!url.isValid()) return;

    socket_.reset(new QWebSocket());
    QWebSocket* socket = socket_.get();
    socket->setMaxAllowedIncomingMessageSize(wire::kMaxEnvelopeBytes);
    QObject::connect(socket, &QWebSocket::connected, this,
                     [this, socket] { handleOpened(socket); });
    QObject::connect(socket, &QWebSocket::disconnected, this,
                     [this, socket] { handleClosed(socket); });
    QObject::connect(socket, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), this,
                     [this, socket](QAbstractSocket::SocketError) { handleClosed(socket); });
    QObject::connect(socket, &QWebSocket::textMessageReceived, this,
                     [this, socket](const QString& m) { handleText(socket, m); });
    QObject::connect(socket, &QWebSocket::binaryMessageReceived, this,
                     [this, socket](const QByteArray& m) { handleBinary(socket, m); });
    QObject::connect(socket, &QWebSocket::bytesWritten, this, [this](qint64 written) {
        writtenBytes_ += written;
        while (!pendingFrames_.empty() && pendingFrames_.front().first <= writtenBytes_) {
            auto done = std::move(pendingFrames_.front().second);
            pendingFrames_.pop_front();
            if (done) done();
        }
    });
    socket->open(url);
}

void InternetLine::discardSocket() {
    if (socket_) {
        QObject::disconnect(socket_.get(), nullptr, this, nullptr);
        socket_->close(QWebSocketProtocol::CloseCodeGoingAway);
        socket_.reset();
    }
    // Frames that will never be written still owe their senders an answer.
    auto pending = std::move(pendingFrames_);
    pendingFrames_.clear();
    queuedBytes_ = writtenBytes_ = 0;
    for (auto& [end, done] : pending) {
        if (done) done();
    }
}

void InternetLine::stop() {
    {
        std::lock_guard lock(state_);
        shouldRun_ = false;
    }
    reconnect_.stop();
    discardSocket();
    markClosed();
}

void InternetLine::markClosed() {
    registered_ = false;
    // What the service reported holds only while it can report changes.
    if (open_.exchange(false) && callbacks_.handler) callbacks_.handler(wire::events::Online{});
}

void InternetLine::scheduleReconnect() {
    {
        std::lock_guard lock(state_);
        if (!shouldRun_) return;
    }
    reconnect_.start();  // restarts a pending one: never two in a row
}

void InternetLine::handleOpened(QWebSocket* socket) {
    if (socket != socket_.get()) return;
    // The handshake went through the same socket; from here on every byte
    // written is a message counted by writeText/sendBinary.
    queuedBytes_ = writtenBytes_ = 0;
    open_ = true;
    {
        std::lock_guard lock(state_);
        // Presented once per successful registration.
        identity_.pin.clear();
        identity_.newPin.clear();
        identity_.accountKind.clear();
    }
    keepalive_.start();
    sendPing();
    if (callbacks_.onOpen) callbacks_.onOpen();
}

void InternetLine::handleClosed(QWebSocket* socket) {
    if (socket != socket_.get()) return;
    scheduleReconnect();
    markClosed();
}

void InternetLine::sendPing() {
    if (!socket_ || !open_) return;
    if (auto ping = wire::encodeEnvelope(wire::requestEnvelope("ping"))) writeText(*ping);
}

void InternetLine::writeText(const std::string& json) {
    const QString message = QString::fromStdString(json);
    // Counted as the socket will write it: invalid UTF-8 changes length.
    queuedBytes_ +=
        wireBytes(message.toUtf8().size(), static_cast<qint64>(socket_->outgoingFrameSize()));
    socket_->sendTextMessage(message);
}

void InternetLine::handleText(QWebSocket* socket, const QString& message) {
    if (socket != socket_.get()) return;
    const QByteArray bytes = message.toUtf8();
    const std::string_view json(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    auto record = wire::decodeLineRecord(json);
    if (!record) return;
    if (auto* envelope = std::get_if<wire::Envelope>(&*record)) {
        handleEnvelope(*envelope);
        return;
    }
    std::visit(
        [this](auto& r) {
            using R = std::decay_t<decltype(r)>;
            if constexpr (std::is_same_v<R, wire::events::Online>) {
                if (callbacks_.handler) callbacks_.handler(std::move(r));
            } else if constexpr (std::is_same_v<R, wire::service::Miss>) {
                if (callbacks_.onMiss) callbacks_.onMiss(r.to);
            } else if constexpr (std::is_same_v<R, wire::service::Book>) {
                if (callbacks_.onBook) callbacks_.onBook(std::move(r.contacts));
            } else if constexpr (std::is_same_v<R, wire::service::Pin>) {
                registered_ = true;
                {
                    std::lock_guard lock(state_);
                    identity_.pin.clear();
                    identity_.newPin.clear();
                    identity_.accountKind.clear();
                }
                if (callbacks_.onPin) callbacks_.onPin(r.hasPin, r.error, r.business);
            } else if constexpr (std::is_same_v<R, wire::service::Denied>) {
                {
                    std::lock_guard lock(state_);
                    shouldRun_ = false;
                    identity_.pin.clear();
                }
                markClosed();
                // Closed before the app hears of it: it may start the
                // line again at once, on a new socket.
                if (socket_) {
                    QObject::disconnect(socket_.get(), nullptr, this, nullptr);
                    socket_->close(QWebSocketProtocol::CloseCodePolicyViolated);
                    socket_.reset();
                }
                if (callbacks_.onDenied) callbacks_.onDenied(r.reason);
            } else if constexpr (std::is_same_v<R, wire::service::Statement>) {
                if (!r.cert.empty() && r.cert.size() <= wire::kMaxStatementBytes &&
                    callbacks_.onStatement) {
                    callbacks_.onStatement(std::move(r.cert));
                }
            }
        },
        std::get<wire::ServiceRecord>(*record));
}

void InternetLine::handleEnvelope(const wire::Envelope& envelope) {
    const std::string peerKey = envelope.number.value_or(std::string());
    auto incoming = wire::receiveEnvelope(envelope, wire::Transport::net, peerKey, now());
    if (!incoming || !callbacks_.handler) return;
    if (auto* event = std::get_if<wire::PeerEvent>(&*incoming)) {
        callbacks_.handler(std::move(*event));
    } else if (auto* file = std::get_if<wire::IncomingFile>(&*incoming)) {
        const QString path =
            QDir(QDir::tempPath()).filePath(QString::fromStdString(file->localName));
        QFile out(path);
        if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly)) return;
        const auto size = static_cast<qint64>(file->bytes.size());
        if (out.write(reinterpret_cast<const char*>(file->bytes.data()), size) != size) {
            out.remove();
            return;
        }
        out.close();
        callbacks_.handler(std::move(*file).arrived(path.toStdString()));
    }
}

void InternetLine::handleBinary(QWebSocket* socket, const QByteArray& message) {
    if (socket != socket_.get()) return;
    const std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(message.constData()),
                                           static_cast<std::size_t>(message.size()));
    auto frame = wire::parseNetFrame(bytes);
    if (!frame) return;
    if (frame->kind == static_cast<std::uint8_t>(wire::FrameKind::audio)) {
        diagnosticLog("recv " + std::to_string(frame->media.size()) + " bytes");
    }
    if (auto event = wire::eventFromFrame(*frame); event && callbacks_.handler) {
        callbacks_.handler(std::move(*event));
    }
}

bool InternetLine::send(const wire::Envelope& envelope) {
    if (!onOwnThread()) {
        QMetaObject::invokeMethod(
            this, [this, envelope] { send(envelope); }, Qt::QueuedConnection);
        return open_;
    }
    if (!open_ || !socket_) return false;
    auto json = wire::encodeEnvelope(envelope);
    if (!json) return false;
    writeText(*json);
    return true;
}

void InternetLine::requestBook(const std::optional<std::vector<BookEntry>>& contacts) {
    if (!open_ || !socket_) return;
    auto json = contacts ? wire::encodeBookStore(*contacts)
                         : wire::encodeEnvelope(wire::requestEnvelope("book"));
    if (!json) return;
    writeText(*json);
    // The last upload may be made while the program closes, with no event
    // loop left to write it out.
    if (contacts && socket_->state() == QAbstractSocket::ConnectedState) socket_->flush();
}

bool InternetLine::trustComputer(const std::string& computer, bool trust) {
    if (!open_ || !socket_ || computer.empty()) return false;
    auto json = wire::encodeTrust(computer, trust);
    if (!json) return false;
    writeText(*json);
    return true;
}

void InternetLine::lookupComputer(const std::string& computer,
                                  std::function<void(std::optional<RememberedAccount>)> done) {
    if (!service_) return done(std::nullopt);
    QUrl url = liveHttpUrl(*service_);
    url.setQuery(QStringLiteral("computer=") + encoded(computer), QUrl::StrictMode);
    QNetworkReply* reply = http_.get(serviceRequest(url, timings().computerLookup));
    QObject::connect(reply, &QNetworkReply::finished, this, [reply, done = std::move(done)] {
        reply->deleteLater();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (reply->error() != QNetworkReply::NoError || status != 200) return done(std::nullopt);
        const QByteArray body = reply->read(64 * 1024);
        auto answer = wire::decodeComputerAccount(
            std::string_view(body.constData(), static_cast<std::size_t>(body.size())));
        if (!answer) return done(std::nullopt);
        done(RememberedAccount{answer->number, answer->name});
    });
}

void InternetLine::forgetComputer(const std::string& computer) {
    if (!service_) return;
    QUrl url = liveHttpUrl(*service_);
    url.setQuery(QStringLiteral("computer=") + encoded(computer) + QStringLiteral("&forget=1"),
                 QUrl::StrictMode);
    QNetworkReply* reply = http_.get(serviceRequest(url, timings().computerLookup));
    QObject::connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
}

void InternetLine::sendBinary(wire::FrameKind kind, std::optional<std::string> to,
                              wire::Bytes payload, std::function<void()> completion) {
    if (!wire::isMediaKind(static_cast<std::uint8_t>(kind))) {
        if (completion) completion();
        return;
    }
    if (!onOwnThread()) {
        QMetaObject::invokeMethod(
            this,
            [this, kind, to = std::move(to), payload = std::move(payload),
             completion = std::move(completion)]() mutable {
                sendBinary(kind, std::move(to), std::move(payload), std::move(completion));
            },
            Qt::QueuedConnection);
        return;
    }
    const bool audio = kind == wire::FrameKind::audio;
    if (!open_ || !socket_ || !to || to->empty() || to->size() > wire::kMaxFrameTarget ||
        payload.empty()) {
        if (audio) {
            diagnosticLog(std::string("audio not sent open=") + (open_ ? "true" : "false") +
                          " target=" + (to ? *to : std::string("none")) +
                          " bytes=" + std::to_string(payload.size()));
        }
        if (completion) completion();
        return;
    }
    const auto frame = wire::encodeNetFrame(kind, *to, payload);
    if (audio) diagnosticLog("sent " + std::to_string(payload.size()) + " bytes to " + *to);
    queuedBytes_ += wireBytes(static_cast<qint64>(frame.size()),
                              static_cast<qint64>(socket_->outgoingFrameSize()));
    pendingFrames_.emplace_back(queuedBytes_, std::move(completion));
    socket_->sendBinaryMessage(QByteArray(reinterpret_cast<const char*>(frame.data()),
                                          static_cast<qsizetype>(frame.size())));
}

void InternetLine::sendAudio(std::string to, std::string base64) {
    send(wire::audioEnvelope(to, std::move(base64)));
}

}  // namespace merrowfax

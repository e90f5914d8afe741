#pragma once

#include <QNetworkAccessManager>
#include <QObject>
#include <QTimer>
#include <QUrl>
#include <QWebSocket>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "transport/net_transport.h"
#include "wire/frames.h"

namespace merrowfax {

// The live endpoint with the registration query: number, name, device,
// computer, then pin and newpin only when exactly four digits and kind only
// when "personal" or "business".
QUrl registrationUrl(const QUrl& service, const LineIdentity& identity);

// One WebSocket to the relay service: registers this device's number, carries
// envelopes as text messages and media as binary frames, pings every 15
// seconds and reconnects 2 seconds after any failure while it is meant to
// run. Lives on the main thread; media senders may call from other threads.
class InternetLine final : public QObject, public NetTransport {
    Q_OBJECT

public:
    // `service` is the base address (see service_address.h); nothing means
    // no usable address: the line never connects and lookups find nothing.
    explicit InternetLine(std::optional<QUrl> service, QObject* parent = nullptr);
    ~InternetLine() override;

    // NetTransport.
    void setCallbacks(Callbacks callbacks) override;
    void start(const LineIdentity& identity) override;
    void stop() override;
    bool send(const wire::Envelope& envelope) override;
    void requestBook(const std::optional<std::vector<BookEntry>>& contacts) override;
    void lookupComputer(const std::string& computer,
                        std::function<void(std::optional<RememberedAccount>)> done) override;
    void forgetComputer(const std::string& computer) override;
    bool trustComputer(const std::string& computer, bool trust) override;

    // (Re)opens the socket with the identity held now.
    void connect() override;
    bool isOpen() const override { return open_; }
    // The service confirmed the registration on the open socket: from now
    // on it routes records to this number here.
    bool isRegistered() const { return registered_; }
    // Bytes handed to the socket that it has not reported written yet.
    qint64 unwrittenBytes() const { return queuedBytes_ - writtenBytes_; }

    // Media. `to` absent, a closed line or an empty payload sends nothing;
    // `completion` runs once the frame was handed on, or at once.
    void sendBinary(wire::FrameKind kind, std::optional<std::string> to, wire::Bytes payload,
                    std::function<void()> completion = {}) override;
    // Call audio as an "audio" envelope to `to`, the chunk in base64.
    void sendAudio(std::string to, std::string base64) override;

private:
    void scheduleReconnect();
    void handleOpened(QWebSocket* socket);
    void handleClosed(QWebSocket* socket);
    // The connection is no longer open or registered. When it was open,
    // nobody it reported is online through it until the next registration
    // says who is.
    void markClosed();
    void handleText(QWebSocket* socket, const QString& message);
    void handleBinary(QWebSocket* socket, const QByteArray& message);
    void handleEnvelope(const wire::Envelope& envelope);
    void sendPing();
    // Every text message goes out here, counted with its framing.
    void writeText(const std::string& json);
    void discardSocket();
    bool onOwnThread() const;

    const std::optional<QUrl> service_;
    Callbacks callbacks_;

    // Guarded by state_.
    mutable std::mutex state_;
    LineIdentity identity_;
    bool shouldRun_ = false;

    // Main thread only.
    std::unique_ptr<QWebSocket, void (*)(QWebSocket*)> socket_;
    std::atomic<bool> open_ = false;
    std::atomic<bool> registered_ = false;
    QTimer reconnect_;
    QTimer keepalive_;
    QNetworkAccessManager http_;
    // Completions of binary frames handed to the socket, by the running
    // total of bytes at which each frame ends. Every message counts, pings
    // included, or a frame would complete before its bytes were written.
    std::deque<std::pair<qint64, std::function<void()>>> pendingFrames_;
    qint64 queuedBytes_ = 0;
    qint64 writtenBytes_ = 0;
};

}  // namespace merrowfax

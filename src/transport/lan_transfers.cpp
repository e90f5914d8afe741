#include "transport/lan_sessions.h"

#include <QFile>
#include <QHostAddress>
#include <QTemporaryFile>
#include <QTimer>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <filesystem>
#include <regex>

#include "platform/timings.h"
#include "transport/lan_limits.h"
#include "transport/lan_session_link.h"
#include "transport/lan_session_parts.h"

// Resources: files and snapshots, each on a connection of its own, so a big
// one never holds up a session's messages or media.
namespace merrowfax::lan {
namespace {

// What a resource's receiver answers once it has it all.
constexpr std::byte kTaken{0x01};

}  // namespace

struct Sessions::Upload {
    std::string key;
    std::string name;
    std::filesystem::path path;
    int attempt = 1;
    std::unique_ptr<Connection> connection;
    QFile file;
    std::uint64_t size = 0;
    std::uint64_t sent = 0;
    std::string hello;
    bool named = false;         // the hello went out
    bool acknowledged = false;  // the peer took it all
    QTimer stall;
};

struct Sessions::Download {
    std::string key;
    std::string name;
    std::unique_ptr<Connection> connection;
    std::unique_ptr<QTemporaryFile> file;
    std::uint64_t size = 0;
    std::uint64_t received = 0;
    std::uint64_t receivedBefore = 0;  // when the current rate window began
    QTimer rate;
};

bool Sessions::validResourceName(const std::string& name) {
    static const std::regex pattern(
        "^(file-[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}|"
        "snap-[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}\\.json)"
        "$");
    return std::regex_match(name, pattern);
}

std::uint64_t Sessions::resourceBound(const std::string& name) {
    if (!validResourceName(name)) return 0;
    return name.starts_with("snap-") ? kMaxSnapshotResource : kMaxFileResource;
}

bool Sessions::sendResource(const std::string& key, const std::string& name,
                            const std::filesystem::path& file) {
    if (!active(key) || !validResourceName(name) || connectionCount() >= kMaxConnections) {
        return false;
    }
    std::error_code error;
    const auto size = std::filesystem::file_size(file, error);
    if (error || size > resourceBound(name)) return false;
    startUpload(key, name, file, 1);
    return true;
}

void Sessions::startUpload(const std::string& key, const std::string& name,
                           const std::filesystem::path& file, int attempt) {
    const auto session = active(key);
    if (!session || connectionCount() >= kMaxConnections) return;
    auto upload = std::make_shared<Upload>();
    upload->key = key;
    upload->name = name;
    upload->path = file;
    upload->attempt = attempt;
    upload->file.setFileName(QString::fromStdString(file.string()));
    if (!upload->file.open(QIODevice::ReadOnly)) return;
    upload->size = static_cast<std::uint64_t>(upload->file.size());
    if (upload->size > resourceBound(name)) return;
    rapidjson::StringBuffer text;
    rapidjson::Writer<rapidjson::StringBuffer> out(text);
    out.StartObject();
    out.Key("key");
    out.String(ownKey_.c_str());
    out.Key("use");
    out.String("resource");
    out.Key("name");
    out.String(name.c_str());
    out.Key("size");
    out.Uint64(upload->size);
    out.EndObject();
    upload->hello = text.GetString();

    auto socket = std::make_unique<QSslSocket>();
    configureTls(*socket, identity_.certificate, identity_.key);
    QSslSocket* raw = socket.get();
    upload->connection = std::make_unique<Connection>(std::move(socket), kMaxHello);
    uploads_.insert(upload);
    std::weak_ptr<Upload> weak = upload;
    const std::string expected = peerFingerprint(key);
    auto pump = [this, weak] {
        auto u = weak.lock();
        // Handshake bytes going out are reported too; the file waits for its hello.
        if (!u || !u->named) return;
        u->stall.start();
        while (u->sent < u->size && u->connection->backlog() < 4 * kResourceChunk) {
            const QByteArray chunk = u->file.read(
                static_cast<qint64>(std::min<std::uint64_t>(kResourceChunk, u->size - u->sent)));
            if (chunk.isEmpty()) return endUpload(u);
            u->sent += static_cast<std::uint64_t>(chunk.size());
            u->connection->sendRaw({reinterpret_cast<const std::byte*>(chunk.constData()),
                                    static_cast<std::size_t>(chunk.size())});
        }
        if (u->sent >= u->size && u->connection->backlog() == 0) u->connection->finish();
    };
    Connection::Callbacks callbacks;
    callbacks.encrypted = [this, weak, expected, pump] {
        auto u = weak.lock();
        if (!u) return;
        // The device of the session, not whoever answers at its address now.
        if (u->connection->peerFingerprint() != expected) return endUpload(u);
        u->connection->send(asBytes(u->hello));
        u->connection->switchToRaw();
        u->named = true;
        pump();
    };
    callbacks.written = pump;
    callbacks.raw = [weak](std::span<const std::byte> bytes) {
        auto u = weak.lock();
        if (u && bytes.front() == kTaken) u->acknowledged = true;
    };
    // Refused, stalled, or cut before the peer took it all: offered again later.
    auto ended = [this, weak] {
        auto u = weak.lock();
        if (!u) return;
        endUpload(u);
        if (!u->acknowledged) retryUpload(u);
    };
    callbacks.closed = ended;
    upload->connection->setCallbacks(std::move(callbacks));
    upload->stall.setSingleShot(true);
    connect(&upload->stall, &QTimer::timeout, this, ended);
    upload->stall.start(timings().lanInvite);
    raw->connectToHostEncrypted(QHostAddress(session->peerIpv4()).toString(), session->peerPort());
}

void Sessions::retryUpload(const std::shared_ptr<Upload>& upload) {
    if (upload->attempt >= kResourceAttempts) return;
    const auto wait = timings().lanFileRetry * (1 << (upload->attempt - 1));
    QTimer::singleShot(wait, this,
                       [this, key = upload->key, name = upload->name, path = upload->path,
                        attempt = upload->attempt + 1] {
                           // Only to the same device while its session lasts.
                           if (isConnected(key)) startUpload(key, name, path, attempt);
                       });
}

void Sessions::endUpload(const std::shared_ptr<Upload>& upload) {
    if (!uploads_.erase(upload)) return;
    upload->stall.stop();
    upload->connection->close();
    releaseLater(upload);
}

void Sessions::startDownload(const std::shared_ptr<Pending>& pending, const std::string& key,
                             const std::string& name, std::uint64_t size) {
    const auto fromPeer = std::count_if(downloads_.begin(), downloads_.end(),
                                        [&](const auto& d) { return d->key == key; });
    if (downloads_.size() >= kMaxDownloads ||
        static_cast<std::size_t>(fromPeer) >= kMaxDownloadsPerPeer) {
        return drop(pending);
    }
    auto download = std::make_shared<Download>();
    download->key = key;
    download->name = name;
    download->size = size;
    download->file = std::make_unique<QTemporaryFile>(
        QString::fromStdString((folder_ / "merrowfax-incoming-XXXXXX").string()));
    if (!download->file->open()) return drop(pending);
    pending_.erase(pending);
    pending->deadline.stop();
    download->connection = std::move(pending->connection);
    downloads_.insert(download);

    std::weak_ptr<Download> weak = download;
    Connection::Callbacks callbacks;
    callbacks.raw = [this, weak](std::span<const std::byte> bytes) {
        auto d = weak.lock();
        if (!d) return;
        if (d->received + bytes.size() > d->size ||
            d->file->write(reinterpret_cast<const char*>(bytes.data()),
                           static_cast<qint64>(bytes.size())) !=
                static_cast<qint64>(bytes.size())) {
            return endDownload(d, false);
        }
        d->received += bytes.size();
        if (d->received == d->size) endDownload(d, true);
    };
    callbacks.closed = [this, weak] {
        if (auto d = weak.lock()) endDownload(d, false);
    };
    download->connection->setCallbacks(std::move(callbacks));
    // Not an idle timer, which a byte now and then would keep running: each
    // window must bring the minimum rate's worth, or what is left if less.
    const auto window = timings().lanRateWindow;
    const std::uint64_t perWindow =
        kMinResourceRate * static_cast<std::uint64_t>(window.count()) / 1000;
    download->rate.setInterval(window);
    connect(&download->rate, &QTimer::timeout, this, [this, weak, perWindow] {
        auto d = weak.lock();
        if (!d) return;
        const std::uint64_t due = std::min(perWindow, d->size - d->receivedBefore);
        if (d->received - d->receivedBefore < due) return endDownload(d, false);
        d->receivedBefore = d->received;
    });
    download->rate.start();
    download->connection->switchToRaw();
    if (size == 0) endDownload(download, true);
}

void Sessions::endDownload(const std::shared_ptr<Download>& download, bool whole) {
    if (!downloads_.erase(download)) return;
    download->rate.stop();
    if (whole) {
        // The sender offers again what it does not hear was taken.
        download->connection->sendRaw({&kTaken, 1});
        download->connection->socket().flush();
        download->connection->finish();
    } else {
        download->connection->close();
    }
    releaseLater(download);
    if (!whole || !download->file->flush()) return;
    const std::filesystem::path path = download->file->fileName().toStdString();
    download->file->close();
    // The callee may move the file away; what it leaves is removed.
    if (callbacks_.resource) callbacks_.resource(download->key, download->name, path);
}

void Sessions::closeTransfers() {
    for (const auto& upload : uploads_) {
        upload->connection->setCallbacks({});
        upload->connection->close();
    }
    uploads_.clear();
    for (const auto& download : downloads_) {
        download->connection->setCallbacks({});
        download->connection->close();
    }
    downloads_.clear();
}

}  // namespace merrowfax::lan

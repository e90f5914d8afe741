#include "ui/single_instance.h"

#include <QCryptographicHash>
#include <QLocalSocket>

#include <memory>

namespace merrowfax::ui {
namespace {

constexpr int kWaitMs = 1000;

}  // namespace

QString SingleInstance::nameFor(const std::filesystem::path& dataFolder) {
    const QByteArray folder =
        QByteArray::fromStdString(std::filesystem::absolute(dataFolder).string());
    return QStringLiteral("merrowfax-") +
           QString::fromLatin1(
               QCryptographicHash::hash(folder, QCryptographicHash::Sha256).toHex().left(16));
}

SingleInstance::SingleInstance(const std::filesystem::path& dataFolder, QObject* parent)
    : QObject(parent), name_(nameFor(dataFolder)) {}

bool SingleInstance::handOver(const QStringList& arguments) {
    QLocalSocket socket;
    socket.connectToServer(name_);
    if (!socket.waitForConnected(kWaitMs)) return false;
    // One line per argument; a plain second launch sends an empty line.
    const QByteArray message =
        (arguments.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8().left(kMaxHandOver);
    socket.write(message);
    if (!socket.waitForBytesWritten(kWaitMs)) return false;
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState) socket.waitForDisconnected(kWaitMs);
    return true;
}

bool SingleInstance::listen() {
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_.listen(name_)) {
        // Only a socket left by a window that crashed is removed: one that
        // answers belongs to a window that runs.
        QLocalSocket probe;
        probe.connectToServer(name_);
        if (probe.waitForConnected(kWaitMs)) return false;
        QLocalServer::removeServer(name_);
        if (!server_.listen(name_)) return false;
    }
    connect(&server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = server_.nextPendingConnection()) {
            auto buffer = std::make_shared<QByteArray>();
            connect(socket, &QLocalSocket::readyRead, socket, [socket, buffer] {
                buffer->append(socket->read(kMaxHandOver + 1 - buffer->size()));
                if (buffer->size() > kMaxHandOver) socket->abort();
            });
            connect(socket, &QLocalSocket::disconnected, this, [this, socket, buffer] {
                buffer->append(socket->readAll().left(kMaxHandOver - buffer->size()));
                socket->deleteLater();
                if (buffer->size() > kMaxHandOver) return;
                const QStringList arguments =
                    QString::fromUtf8(*buffer).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
                Q_EMIT received(arguments);
            });
        }
    });
    return true;
}

}  // namespace merrowfax::ui

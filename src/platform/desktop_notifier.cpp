#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include "platform/notifier.h"

namespace merrowfax {
namespace {

class DesktopNotifier final : public Notifier {
public:
    // Nothing to ask for: the desktop decides what it shows.
    void requestPermission() override {}

    void post(const std::string& title, const std::string& body) override {
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected()) return;
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.Notifications"),
            QStringLiteral("/org/freedesktop/Notifications"),
            QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
        QVariantMap hints;
        hints.insert(QStringLiteral("sound-name"), QStringLiteral("message-new-instant"));
        call << QStringLiteral("Merrowfax") << 0u << QString() << QString::fromStdString(title)
             << QString::fromStdString(body) << QStringList() << hints << -1;
        bus.asyncCall(call);  // fire and forget; no service means no notification
    }
};

}  // namespace

std::unique_ptr<Notifier> makeDesktopNotifier() {
    return std::make_unique<DesktopNotifier>();
}

}  // namespace merrowfax

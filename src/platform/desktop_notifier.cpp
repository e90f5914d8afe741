#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <deque>

#include "platform/notifier.h"

namespace merrowfax {
namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");

// Notices whose action may still come; older ones are forgotten, their
// buttons then do nothing.
constexpr std::size_t kRemembered = 64;

class DesktopNotifier final : public QObject, public Notifier {
    Q_OBJECT

public:
    DesktopNotifier() {
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected()) return;
        bus.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                    SLOT(actionInvoked(uint, QString)));
        bus.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                    SLOT(notificationClosed(uint, uint)));
    }

    // Nothing to ask for: the desktop decides what it shows.
    void requestPermission() override {}

    NoticeId post(Notice notice, NoticeAction onAction) override {
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected()) return 0;
        const NoticeId id = ++lastId_;
        QStringList actions;
        for (const auto& [key, label] : notice.actions)
            actions << QString::fromStdString(key) << QString::fromStdString(label);
        QVariantMap hints;
        hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("merrowfax"));
        hints.insert(QStringLiteral("sound-name"), notice.ringing
                                                       ? QStringLiteral("phone-incoming-call")
                                                       : QStringLiteral("message-new-instant"));
        if (notice.ringing) {
            hints.insert(QStringLiteral("urgency"), QVariant::fromValue(uchar(2)));
            hints.insert(QStringLiteral("category"), QStringLiteral("call.incoming"));
        } else {
            hints.insert(QStringLiteral("category"), QStringLiteral("im.received"));
        }
        QDBusMessage call =
            QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
        call << QStringLiteral("Merrowfax") << 0u << QStringLiteral("merrowfax")
             << QString::fromStdString(notice.title) << QString::fromStdString(notice.body)
             << actions << hints << (notice.ringing ? 0 : -1);

        remember({id, 0, std::move(onAction), false});
        auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this,
                [this, id](QDBusPendingCallWatcher* done) {
                    done->deleteLater();
                    QDBusPendingReply<uint> reply = *done;
                    Entry* entry = find(id);
                    if (!entry) return;
                    if (reply.isError()) return forget(id);
                    entry->serverId = reply.value();
                    if (entry->withdrawn) {
                        close(entry->serverId);
                        forget(id);
                    }
                });
        return id;
    }

    void withdraw(NoticeId id) override {
        Entry* entry = find(id);
        if (!entry) return;
        if (entry->serverId == 0) {
            entry->withdrawn = true;  // closed once the service says which it is
            entry->onAction = nullptr;
            return;
        }
        close(entry->serverId);
        forget(id);
    }

private Q_SLOTS:
    void actionInvoked(uint serverId, const QString& key) {
        for (Entry& entry : entries_) {
            if (entry.serverId != serverId || entry.serverId == 0) continue;
            NoticeAction action = std::move(entry.onAction);
            forget(entry.id);
            if (action) action(key.toStdString());
            return;
        }
    }
    void notificationClosed(uint serverId, uint) {
        for (const Entry& entry : entries_) {
            if (entry.serverId == serverId && serverId != 0) return forget(entry.id);
        }
    }

private:
    struct Entry {
        NoticeId id = 0;
        uint serverId = 0;  // 0 until the service answered
        NoticeAction onAction;
        bool withdrawn = false;
    };

    void remember(Entry entry) {
        if (entries_.size() == kRemembered) entries_.pop_front();
        entries_.push_back(std::move(entry));
    }
    Entry* find(NoticeId id) {
        for (Entry& entry : entries_)
            if (entry.id == id) return &entry;
        return nullptr;
    }
    void forget(NoticeId id) {
        std::erase_if(entries_, [id](const Entry& entry) { return entry.id == id; });
    }
    static void close(uint serverId) {
        QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface,
                                                           QStringLiteral("CloseNotification"));
        call << serverId;
        QDBusConnection::sessionBus().asyncCall(call);
    }

    NoticeId lastId_ = 0;
    std::deque<Entry> entries_;
};

}  // namespace

std::unique_ptr<Notifier> makeDesktopNotifier() {
    return std::make_unique<DesktopNotifier>();
}

}  // namespace merrowfax

#include "desktop_notifier.moc"

// What the desktop is shown while the window is not active, and what its
// buttons do: against a recording notifier, and through a stand-in
// notification service on a private session bus.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QVariantMap>

#include "model_fixture.h"
#include "support/session_bus.h"

using namespace merrowfax;
using namespace merrowfax::testing;

namespace {

wire::events::Call signal(const char* word, const Uuid& id, bool video = false) {
    return {word, id, kAlice, "Mac", "Alice", video, kAlice};
}
wire::events::Call invite(const Uuid& id, bool video = false) {
    return signal("invite", id, video);
}

class Notifications : public ModelTest {
protected:
    // The chats the notices asked to open, as they ask.
    std::shared_ptr<std::vector<std::string>> chatsRequested() {
        auto opened = std::make_shared<std::vector<std::string>>();
        QObject::connect(&model->notices(), &merrowfax::Notices::chatRequested, model.get(),
                         [opened](const std::string& number) { opened->push_back(number); });
        return opened;
    }

    void SetUp() override {
        start();
        model->people().addContact("Alice", kAlice);  // strangers ring once a while
    }
};

TEST_F(Notifications, ATextsNoticeOpensItsChatAndGoesOnceTheChatIsRead) {
    const auto opened = chatsRequested();
    fromLine(text(kAlice, "one"));
    fromLine(text(kAlice, "two"));
    ASSERT_EQ(notifier->posted.size(), 2u);
    EXPECT_TRUE(notifier->posted[0].withdrawn);  // the newer one stands for the chat
    const auto& notice = notifier->posted[1].notice;
    EXPECT_EQ(notice.title, "Alice");
    EXPECT_EQ(notice.body, "New text");
    EXPECT_FALSE(notice.ringing);

    notifier->posted[1].onAction("default");
    EXPECT_EQ(*opened, std::vector<std::string>{kAlice});

    fromLine(text(kAlice, "three"));
    model->messaging().viewChat(kAlice, true);
    EXPECT_TRUE(notifier->posted[2].withdrawn);
}

TEST_F(Notifications, ARingingCallIsAnsweredOrDeclinedFromItsNotice) {
    const Uuid first = Uuid::random();
    fromLine(invite(first, true));
    ASSERT_EQ(notifier->posted.size(), 1u);
    const auto& ringing = notifier->posted[0].notice;
    EXPECT_TRUE(ringing.ringing);
    EXPECT_EQ(ringing.body, "Incoming video call");
    ASSERT_EQ(ringing.actions.size(), 3u);
    EXPECT_EQ(ringing.actions[1], (std::pair<std::string, std::string>{"accept", "Accept"}));
    EXPECT_EQ(ringing.actions[2], (std::pair<std::string, std::string>{"decline", "Decline"}));

    notifier->posted[0].onAction("decline");
    settle();
    EXPECT_FALSE(model->calls().incoming());
    EXPECT_FALSE(model->calls().active());
    ASSERT_FALSE(line->sentWithOp("call").empty());
    EXPECT_EQ(line->sentWithOp("call").back().call, "decline");

    // A click on a notice whose call has stopped ringing does nothing to the next.
    const Uuid second = Uuid::random();
    fromLine(invite(second));
    ASSERT_EQ(notifier->posted.size(), 2u);
    notifier->posted[0].onAction("accept");
    EXPECT_FALSE(model->calls().active());
    notifier->posted[1].onAction("accept");
    settle();
    ASSERT_TRUE(model->calls().active());
    EXPECT_EQ(model->calls().active()->id, second);

    // A call that stops ringing takes its notice away.
    fromLine(invite(Uuid::random()));  // busy: no notice while one runs
    model->calls().endCall();
    const Uuid third = Uuid::random();
    fromLine(invite(third));
    const std::size_t last = notifier->posted.size() - 1;
    fromLine(signal("end", third));
    EXPECT_TRUE(notifier->posted[last].withdrawn);
}

// The notification service as a desktop runs it, reduced to what is checked.
class FakeNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    struct Shown {
        QString summary, body;
        QStringList actions;
        QVariantMap hints;
    };
    std::vector<Shown> shown;  // by id - 1
    std::vector<uint> closed;

    // Says the user picked `key` on notification `id`.
    void pick(uint id, const QString& key) {
        QDBusMessage signal = QDBusMessage::createSignal(
            QStringLiteral("/org/freedesktop/Notifications"),
            QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("ActionInvoked"));
        signal << id << key;
        QDBusConnection(QStringLiteral("service")).send(signal);
    }

public Q_SLOTS:
    uint Notify(const QString&, uint, const QString&, const QString& summary, const QString& body,
                const QStringList& actions, const QVariantMap& hints, int) {
        shown.push_back({summary, body, actions, hints});
        return static_cast<uint>(shown.size());
    }
    void CloseNotification(uint id) { closed.push_back(id); }
};

class DesktopNotices : public Notifications {
protected:
    static SessionBus& bus() {
        // One per process: Qt keeps the first session bus it connects to.
        static SessionBus shared;
        return shared;
    }

    void SetUp() override {
        qputenv("DBUS_SESSION_BUS_ADDRESS", bus().address().c_str());
        QDBusConnection service = QDBusConnection::connectToBus(
            QString::fromStdString(bus().address()), QStringLiteral("service"));
        ASSERT_TRUE(service.isConnected());
        ASSERT_TRUE(service.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &fake,
                                           QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(service.registerService(QStringLiteral("org.freedesktop.Notifications")));
        desktopNotices = true;
        start();
        model->people().addContact("Alice", kAlice);
    }
    void TearDown() override {
        model.reset();
        QDBusConnection service(QStringLiteral("service"));
        service.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
        service.unregisterObject(QStringLiteral("/org/freedesktop/Notifications"));
        QDBusConnection::disconnectFromBus(QStringLiteral("service"));
    }

    FakeNotifications fake;
};

TEST_F(DesktopNotices, TheServiceShowsTheButtonsAndTheirAnswersAct) {
    const auto opened = chatsRequested();
    fromLine(text(kAlice, "hello"));
    ASSERT_TRUE(waitUntil([&] { return fake.shown.size() == 1; }));
    EXPECT_EQ(fake.shown[0].summary.toStdString(), "Alice");
    EXPECT_EQ(fake.shown[0].body.toStdString(), "New text");
    EXPECT_EQ(fake.shown[0].actions.join(u',').toStdString(), "default,Open");
    EXPECT_EQ(fake.shown[0].hints.value(QStringLiteral("desktop-entry")).toString().toStdString(),
              "merrowfax");
    fake.pick(1, QStringLiteral("default"));
    ASSERT_TRUE(waitUntil([&] { return opened->size() == 1; }));
    fake.pick(1, QStringLiteral("default"));  // a second answer to the same notice is not acted on
    waitUntil([] { return false; }, 100);
    EXPECT_EQ(opened->size(), 1u);

    const Uuid call = Uuid::random();
    fromLine(invite(call));
    ASSERT_TRUE(waitUntil([&] { return fake.shown.size() == 2; }));
    EXPECT_EQ(fake.shown[1].actions.join(u',').toStdString(),
              "default,Open,accept,Accept,decline,Decline");
    EXPECT_EQ(fake.shown[1].hints.value(QStringLiteral("urgency")).toInt(), 2);
    fake.pick(2, QStringLiteral("accept"));
    ASSERT_TRUE(waitUntil([&] { return model->calls().active().has_value(); }));
    EXPECT_EQ(model->calls().active()->id, call);

    // A ringing call's notice is closed on the service when the caller gives up.
    model->calls().endCall();
    const Uuid next = Uuid::random();
    fromLine(invite(next));
    ASSERT_TRUE(waitUntil([&] { return fake.shown.size() == 3; }));
    fromLine(signal("end", next));
    EXPECT_TRUE(waitUntil([&] { return !fake.closed.empty() && fake.closed.back() == 3; }));
}

}  // namespace

#include "notices_test.moc"

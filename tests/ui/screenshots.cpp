// merrowfax-screenshots DIR: renders the window in its main states with
// seeded data and writes one PNG per state. Run on the offscreen platform
// (scripts/screenshots does); nothing reaches the network.

#include <QtQml/qqmlextensionplugin.h>
#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QIcon>
#include <QImage>
#include <QPainter>
#include <QQmlApplicationEngine>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QTemporaryDir>

#include <cstdio>
#include <functional>
#include <memory>

#include "app/fakes.h"
#include "model/store.h"
#include "ui/bridge/app_bridge.h"
#include "ui/bridge/icons.h"
#include "ui/bridge/keypad.h"
#include "ui/engine_setup.h"
#include "ui_fixture.h"

Q_IMPORT_QML_PLUGIN(MerrowfaxPlugin)

using namespace merrowfax;
using namespace merrowfax::testing;

namespace {

void settle(int ms = 150) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

// One run of the window on its own data folder.
class Scene {
public:
    // `seed` (when given) fills the data folder before the window opens.
    explicit Scene(std::function<void(Store&)> seed, bool lookupPending = false) {
        if (seed) {
            Store store(folder());
            seed(store);
        }
        ui::UiParts parts = ui::testParts();
        line_ = parts.line;
        model_ = std::make_unique<AppModel>(folder(), std::move(parts.components));
        settle(20);  // the start-up lookup asks the line
        if (!lookupPending && line_->pendingLookup) line_->pendingLookup(std::nullopt);
        settle(20);
        bridge_ = std::make_unique<ui::AppBridge>(*model_);
        ui::prepareEngine(engine_);
        engine_.setInitialProperties({{QStringLiteral("app"), QVariant::fromValue(bridge_.get())}});
        engine_.load(QUrl(QStringLiteral("qrc:/qt/qml/Merrowfax/Main.qml")));
        settle();
    }

    AppModel& model() { return *model_; }
    FakeLine& line() { return *line_; }
    QObject* find(const char* name) {
        return engine_.rootObjects().isEmpty()
                   ? nullptr
                   : engine_.rootObjects().first()->findChild<QObject*>(QString::fromLatin1(name));
    }
    void call(const char* object, const char* method, QVariant argument = {}) {
        QObject* target = find(object);
        if (!target) return;
        if (argument.isValid()) {
            QMetaObject::invokeMethod(target, method, Q_ARG(QVariant, argument));
        } else {
            QMetaObject::invokeMethod(target, method);
        }
        settle();
    }
    void set(const char* object, const char* property, const QVariant& value) {
        if (QObject* target = find(object)) target->setProperty(property, value);
        settle();
    }

    bool shoot(const QString& file) {
        settle();
        auto* window = qobject_cast<QQuickWindow*>(engine_.rootObjects().value(0));
        if (!window) return false;
        const QImage image = window->grabWindow();
        const bool ok = image.save(file);
        std::printf("%s %s\n", ok ? "wrote" : "FAILED", qPrintable(file));
        return ok;
    }

private:
    std::filesystem::path folder() const { return dir_.path().toStdString(); }

    QTemporaryDir dir_;
    FakeLine* line_ = nullptr;
    std::unique_ptr<AppModel> model_;
    std::unique_ptr<ui::AppBridge> bridge_;
    QQmlApplicationEngine engine_;
};

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: merrowfax-screenshots DIR\n");
        return 2;
    }
    QQuickStyle::setStyle(QStringLiteral("Material"));
    ui::useIconTheme();
    // The directory asks a port where nothing listens: its screen shows what
    // it shows without an answer, and nothing leaves this machine.
    qputenv("MERROWFAX_SERVICE", "ws://127.0.0.1:9");
    const QDir out(QString::fromLocal8Bit(argv[1]));
    if (!QDir().mkpath(out.path())) return 1;
    auto path = [&](const char* name) {
        return out.filePath(QString::fromLatin1(name) + QStringLiteral(".png"));
    };
    bool ok = true;

    {
        Scene scene(nullptr, true);
        ok &= scene.shoot(path("01-first-launch-checking"));
    }
    {
        Scene scene(nullptr);
        const char* steps[] = {"welcome", "kind",  "name", "country",
                               "city",    "issue", "link", "reclaim"};
        int n = 2;
        for (const char* step : steps) {
            if (std::string(step) == "city")
                scene.set("onboarding", "country", QStringLiteral("44"));
            if (std::string(step) == "issue") {
                scene.set("onboarding", "number", QStringLiteral("44-1-234-5678"));
            }
            scene.set("onboarding", "step", QString::fromLatin1(step));
            ok &= scene.shoot(path(qPrintable(QStringLiteral("%1-onboarding-%2")
                                                  .arg(n++, 2, 10, QLatin1Char('0'))
                                                  .arg(QString::fromLatin1(step)))));
        }
    }
    {
        Scene scene([](Store& store) { store.save(ui::seededDatabase(store, false)); });
        ok &= scene.shoot(path("10-chats-empty"));
    }
    {
        Scene scene([](Store& store) { store.save(ui::seededDatabase(store, true)); });
        ok &= scene.shoot(path("11-chats"));
        scene.call("tabs", "openChat", QString::fromLatin1(ui::kAlice));
        settle(600);  // pictures load in the background
        ok &= scene.shoot(path("12-conversation"));
        scene.set("tabs", "tab", 4);
        ok &= scene.shoot(path("13-settings-without-pin"));
        scene.line().callbacks.onPin(true, {}, false);
        settle();
        ok &= scene.shoot(path("14-settings-with-pin"));
        scene.call("tabs", "openPrivacy");
        ok &= scene.shoot(path("15-privacy"));
        scene.model().setAlert("Bob declined.");
        ok &= scene.shoot(path("16-alert"));
        scene.model().dismissAlert();
        scene.set("tabs", "tab", 1);
        ok &= scene.shoot(path("17-calls-recents"));
        scene.set("keypad", "country", QStringLiteral("44"));
        if (auto* keypad = qobject_cast<ui::Keypad*>(scene.find("keypad"))) {
            for (const char* key : {"2", "3", "4", "5"}) keypad->press(QString::fromLatin1(key));
        }
        scene.set("callsView", "mode", 1);
        ok &= scene.shoot(path("18-calls-keypad"));
        scene.set("tabs", "tab", 2);
        ok &= scene.shoot(path("19-contacts"));
        scene.call("newContactSheet", "open");
        ok &= scene.shoot(path("20-contacts-new"));
        scene.call("newContactSheet", "close");
        const QString alice =
            QString::fromStdString(scene.model().people().contacts().front().id.text());
        scene.call("tabs", "openContact", alice);
        ok &= scene.shoot(path("21-contact-detail"));
        scene.call("tabs", "openMyCode");
        ok &= scene.shoot(path("22-my-code"));
        scene.set("tabs", "tab", 3);
        settle(800);
        ok &= scene.shoot(path("23-directory-no-answer"));

        scene.line().callbacks.handler(
            wire::events::Call{"invite", Uuid::random(), ui::kBob, "", "Bob", false, ui::kBob});
        settle();
        ok &= scene.shoot(path("24-call-ringing"));
        scene.model().calls().answerCall();
        settle(1200);
        ok &= scene.shoot(path("25-call-connected"));
        scene.model().calls().endCall();
        scene.model().dismissAlert();
        scene.line().open = true;
        scene.model().calls().startCall(ui::kAlice, true);
        settle();
        ok &= scene.shoot(path("26-call-dialing"));
        scene.model().calls().endCall();
    }
    {
        Scene scene([](Store& store) {
            StoredDatabase db = ui::seededDatabase(store, true);
            db.account->linkedDevices.push_back(
                {Uuid::random(), "iPad 3F2A", "iPad", now() - 86400, now() - 420, std::nullopt});
            store.save(db);
        });
        scene.set("tabs", "tab", 4);
        scene.set("settingsForm", "contentY", 1000);
        ok &= scene.shoot(path("27-settings-linked-devices"));
        scene.call("linkDevice", "clicked");
        settle(400);
        ok &= scene.shoot(path("28-link-code"));
        scene.call("linkSheet", "close");
        // Alice shares her screen and allows control.
        wire::events::Desk start;
        start.from = ui::kAlice;
        start.name = "Alice";
        start.device = "Mac";
        start.action = "start";
        scene.line().callbacks.handler(start);
        wire::events::Desk allow = start;
        allow.action = "allow";
        allow.control = true;
        scene.line().callbacks.handler(allow);
        QImage desktop(1440, 900, QImage::Format_RGB32);
        desktop.fill(QColor(0x2e, 0x34, 0x40));
        QPainter paint(&desktop);
        paint.fillRect(120, 90, 760, 520, QColor(0xec, 0xef, 0xf4));
        paint.fillRect(120, 90, 760, 36, QColor(0x5e, 0x81, 0xac));
        paint.fillRect(940, 160, 380, 300, QColor(0xa3, 0xbe, 0x8c));
        paint.end();
        QByteArray jpeg;
        QBuffer buffer(&jpeg);
        buffer.open(QIODevice::WriteOnly);
        desktop.save(&buffer, "JPG", 80);
        const auto* bytes = reinterpret_cast<const std::byte*>(jpeg.constData());
        scene.line().callbacks.handler(
            wire::events::DeskFrame{wire::Bytes(bytes, bytes + jpeg.size()), ui::kAlice});
        settle(600);
        ok &= scene.shoot(path("29-watching-a-screen"));
    }
    return ok ? 0 : 1;
}

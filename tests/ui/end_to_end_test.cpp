// The real application window under Xvfb, against the real relay service:
// onboarding by clicks and keys, then a text to a merrowfax-cli peer. Calls
// and walkie talk between real programs are the command-line client's tests.
#include <gtest/gtest.h>

#include <QtQml/qqmlextensionplugin.h>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QTest>

#include "cli/cli_helpers.h"
#include "platform/paths.h"
#include "ui/bridge/icons.h"
#include "ui/engine_setup.h"
#include "ui/merrowfax_app.h"

Q_IMPORT_QML_PLUGIN(MerrowfaxPlugin)

using namespace merrowfax;
using namespace merrowfax::testing;
using rapidjson::Value;

namespace {

// The window and what a user does to it.
class Screen {
public:
    explicit Screen(QQuickWindow& window) : window_(window) {}

    // By the visual tree: items a Repeater or a Loader made are not always
    // QObject children of the ones that show them.
    QQuickItem* item(const char* name) const {
        return find(window_.contentItem(), QString::fromLatin1(name));
    }
    // Waits until the named item is on screen.
    QQuickItem* shown(const char* name, int ms = 10000) {
        QQuickItem* found = nullptr;
        spinUntil(
            [&] {
                found = item(name);
                return found && found->isVisible() && found->width() > 0;
            },
            ms);
        return found && found->isVisible() ? found : nullptr;
    }
    void click(QQuickItem* target) {
        ASSERT_TRUE(target);
        const QPointF centre =
            target->mapToScene(QPointF(target->width() / 2, target->height() / 2));
        QTest::mouseClick(&window_, Qt::LeftButton, {}, centre.toPoint());
        spinUntil([] { return false; }, 100);
    }
    // Clicks into the field until it has the focus (a loaded machine may
    // still be sliding the page in), then types.
    void type(QQuickItem* field, const QString& text) {
        ASSERT_TRUE(field);
        ASSERT_TRUE(spinUntil(
            [&] {
                if (!field->hasActiveFocus()) click(field);
                return field->hasActiveFocus();
            },
            5000));
        for (QChar c : text) QTest::keyClick(&window_, c.toLatin1());
        ASSERT_TRUE(
            spinUntil([&] { return field->property("text").toString().endsWith(text); }, 3000));
    }
    // Row `index` of a list view, once it exists.
    QQuickItem* row(const char* list, int index) {
        QQuickItem* view = shown(list);
        if (!view) return nullptr;
        QQuickItem* delegate = nullptr;
        spinUntil(
            [&] {
                QMetaObject::invokeMethod(view, "itemAtIndex", Q_RETURN_ARG(QQuickItem*, delegate),
                                          Q_ARG(int, index));
                return delegate != nullptr;
            },
            10000);
        return delegate;
    }

private:
    static QQuickItem* find(QQuickItem* from, const QString& name) {
        if (from->objectName() == name) return from;
        for (QQuickItem* child : from->childItems()) {
            if (QQuickItem* found = find(child, name)) return found;
        }
        return nullptr;
    }

    QQuickWindow& window_;
};

TEST(WindowEndToEnd, OnboardingThenATextToAPeer) {
    RelayProcess relay;
    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", (home.path() + QStringLiteral("/data")).toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/config")).toUtf8());
    qputenv("MERROWFAX_SERVICE", QByteArray::fromStdString(relay.wsUrl("")));
    qputenv("MERROWFAX_NO_LAN", "1");

    // The peer takes a number first.
    CliProcess peer(relay);
    auto claimed = peer.command(
        R"({"cmd":"newNumber","name":"Bea","country":"44","city":1,"pin":"1111"})", 10000);
    ASSERT_TRUE(claimed.IsObject() && claimed["ok"].IsTrue());

    ui::MerrowfaxApp app(dataFolder());
    QQmlApplicationEngine engine;
    ui::prepareEngine(engine);
    engine.setInitialProperties({{QStringLiteral("app"), QVariant::fromValue(&app.bridge())}});
    engine.load(QUrl(QStringLiteral("qrc:/qt/qml/Merrowfax/Main.qml")));
    ASSERT_FALSE(engine.rootObjects().isEmpty());
    auto* window = qobject_cast<QQuickWindow*>(engine.rootObjects().first());
    ASSERT_TRUE(window);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    Screen screen(*window);

    // Onboarding: a personal number in Calgary with a PIN typed twice.
    screen.click(screen.shown("getNumber"));
    screen.click(screen.shown("kindPersonal"));
    screen.type(screen.shown("nameField"), QStringLiteral("Ann"));
    screen.click(screen.shown("continue"));
    screen.click(screen.row("countryList", 0));  // Canada comes first
    screen.click(screen.row("cityList", 0));     // Calgary, city 1
    ASSERT_TRUE(screen.shown("offeredNumber"));
    screen.type(screen.shown("pinField"), QStringLiteral("1357"));
    screen.type(screen.shown("pinAgainField"), QStringLiteral("1357"));
    screen.click(screen.shown("useNewNumber"));
    ASSERT_TRUE(spinUntil([&] { return app.model().account().has_value(); }, 10000));
    const std::string own = app.model().account()->number.text();
    EXPECT_EQ(own.rfind("0-1-", 0), 0u) << own;
    ASSERT_TRUE(screen.shown("threadList", 10000) || screen.shown("chatSearch"));
    ASSERT_TRUE(spinUntil([&] { return app.bridge().account()->hasPin(); }, 10000));  // registered

    // The peer writes; the chat appears; the answer goes back through the window.
    ASSERT_TRUE(
        peer.command(R"({"cmd":"sendText","to":")" + own + R"(","text":"Hi Ann"})")["ok"].IsTrue());
    screen.click(screen.row("threadList", 0));
    QQuickItem* draft = screen.shown("draft");
    ASSERT_TRUE(draft);
    peer.mark();
    screen.type(draft, QStringLiteral("Hello from the window"));
    screen.click(screen.shown("sendButton"));
    ASSERT_TRUE(spinUntil([&] { return draft->property("text").toString().isEmpty(); }, 5000));
    EXPECT_TRUE(peer.waitForChange(
        "threads",
        [&](const Value& threads) {
            if (!threads.IsArray()) return false;
            for (const Value& t : threads.GetArray()) {
                if (str(t["id"]) != own) continue;
                for (const Value& m : t["messages"].GetArray()) {
                    if (str(m["text"]) == "Hello from the window") return true;
                }
            }
            return false;
        },
        10000));
    EXPECT_EQ(app.model().messaging().threads().at(0).messages.size(), 2u);
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication application(argc, argv);
    QQuickStyle::setStyle(QStringLiteral("Material"));
    ui::useIconTheme();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

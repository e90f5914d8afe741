// The real application window under Xvfb, against the real relay service:
// onboarding by clicks and keys, then a text to a merrowfax-cli peer; a video
// call and walkie exchanges with a peer through a private sound server.
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
#include "media/call_media.h"
#include "numbers/virtual_number.h"
#include "platform/paths.h"
#include "support/goertzel.h"
#include "support/pulse_server.h"
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
    EXPECT_EQ(app.model().threads().at(0).messages.size(), 2u);
}

// `hz` sounds in the last half second a monitor recorded, ten times louder
// than the other tone. The pipe source's drifting clock makes a crossed tone
// measure weak at its exact frequency: the bar is low, quiet is far under it.
bool hears(const MonitorRecorder& monitor, double hz, double other) {
    constexpr std::size_t kWindow = MonitorRecorder::kRate / 2;
    const auto all = monitor.samples();
    if (all.size() < kWindow) return false;
    const std::span<const std::int16_t> last(all.data() + all.size() - kWindow, kWindow);
    const double power = tonePower(last, MonitorRecorder::kRate, hz);
    return power > 1e-5 && power > 10 * tonePower(last, MonitorRecorder::kRate, other);
}

TEST(WindowEndToEnd, AVideoCallWithAPeerHasSoundAndPicturesBothWays) {
    if (!PulseServer::available()) GTEST_SKIP() << "pulseaudio is not installed";
    RelayProcess relay;
    PulseServer pulse(PulseServer::Options{.clients = 2});  // sets PULSE_SERVER for both
    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", (home.path() + QStringLiteral("/data")).toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/config")).toUtf8());
    qputenv("MERROWFAX_SERVICE", QByteArray::fromStdString(relay.wsUrl("")));
    qputenv("MERROWFAX_NO_LAN", "1");
    qputenv("MERROWFAX_AUDIO_INPUT", QByteArray::fromStdString(PulseServer::microphoneName(0)));
    qputenv("MERROWFAX_AUDIO_OUTPUT", QByteArray::fromStdString(PulseServer::speakerName(0)));
    qputenv("MERROWFAX_CAMERA", "pattern");

    CliProcess peer(
        relay,
        {QStringLiteral("--audio-input"), QString::fromStdString(PulseServer::microphoneName(1)),
         QStringLiteral("--audio-output"), QString::fromStdString(PulseServer::speakerName(1)),
         QStringLiteral("--camera"), QStringLiteral("pattern")});
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

    // The window's number, claimed as onboarding would.
    const auto number = VirtualNumber::parse("0-1-555-0101");
    ASSERT_TRUE(number);
    app.model().accounts().claimNewNumber("Ann", false, *number, "2468", "2468");
    ASSERT_TRUE(spinUntil([&] { return app.bridge().account()->hasPin(); }, 10000));

    const ToneFeeder annSpeaks(pulse, 440, 0);
    const ToneFeeder beaSpeaks(pulse, 1000, 1);
    const MonitorRecorder annHears(pulse, 0);
    const MonitorRecorder beaHears(pulse, 1);

    // Bea calls with video; the window answers by its button.
    ASSERT_TRUE(
        peer.command(R"({"cmd":"startCall","to":")" + number->text() + R"(","video":true})")["ok"]
            .IsTrue());
    screen.click(screen.shown("accept"));
    ASSERT_TRUE(spinUntil([&] { return app.model().calls().media().audioReady(); }, 10000));
    EXPECT_TRUE(spinUntil([&] { return hears(beaHears, 440, 1000); }, 8000)) << "Bea hears Ann";
    EXPECT_TRUE(spinUntil([&] { return hears(annHears, 1000, 440); }, 8000)) << "Ann hears Bea";

    // Pictures: Bea's test picture on the window's screen, the window's at Bea.
    EXPECT_TRUE(screen.shown("remotePicture", 8000));
    EXPECT_EQ(app.model().calls().media().remoteImage().width(), 192);
    if (!app.model().calls().media().videoOn()) screen.click(screen.shown("camera"));
    EXPECT_TRUE(screen.shown("ownPreview", 8000));
    EXPECT_TRUE(spinUntil(
        [&] {
            auto reply = peer.command(R"({"cmd":"state"})");
            if (!reply.IsObject() || !reply["ok"].IsTrue()) return false;
            const Value& picture = reply["state"]["remoteImage"];
            return picture.IsObject() && picture["width"].IsInt() &&
                   picture["width"].GetInt() == 192;
        },
        8000));

    // The window ends the call: its audio stops.
    screen.click(screen.shown("end"));
    EXPECT_TRUE(spinUntil([&] { return !app.model().calls().media().audioReady(); }, 5000));
}

// How many "Walkie" messages the window keeps from `sender` ("me", "them").
std::size_t walkieMessages(const AppModel& model, const std::string& sender) {
    std::size_t n = 0;
    for (const auto& thread : model.threads()) {
        for (const auto& m : thread.messages) {
            if (m.text == "Walkie" && m.sender == sender && m.attachmentKind == "audio") ++n;
        }
    }
    return n;
}

TEST(WindowEndToEnd, WalkieExchangesWithAPeerAreHeardBothWaysAndKept) {
    if (!PulseServer::available()) GTEST_SKIP() << "pulseaudio is not installed";
    RelayProcess relay;
    PulseServer pulse(PulseServer::Options{.clients = 2});
    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", (home.path() + QStringLiteral("/data")).toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/config")).toUtf8());
    qputenv("MERROWFAX_SERVICE", QByteArray::fromStdString(relay.wsUrl("")));
    qputenv("MERROWFAX_NO_LAN", "1");
    qputenv("MERROWFAX_AUDIO_INPUT", QByteArray::fromStdString(PulseServer::microphoneName(0)));
    qputenv("MERROWFAX_AUDIO_OUTPUT", QByteArray::fromStdString(PulseServer::speakerName(0)));
    qunsetenv("MERROWFAX_CAMERA");

    CliProcess peer(
        relay,
        {QStringLiteral("--audio-input"), QString::fromStdString(PulseServer::microphoneName(1)),
         QStringLiteral("--audio-output"), QString::fromStdString(PulseServer::speakerName(1))});
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

    const auto number = VirtualNumber::parse("0-1-555-0102");
    ASSERT_TRUE(number);
    app.model().accounts().claimNewNumber("Ann", false, *number, "2468", "2468");
    ASSERT_TRUE(spinUntil([&] { return app.bridge().account()->hasPin(); }, 10000));

    const ToneFeeder annSpeaks(pulse, 440, 0);
    const ToneFeeder beaSpeaks(pulse, 1000, 1);
    const MonitorRecorder annHears(pulse, 0);
    const MonitorRecorder beaHears(pulse, 1);

    // Bea writes first, so both sides have the chat the exchanges are kept in.
    ASSERT_TRUE(peer.command(R"({"cmd":"sendText","to":")" + number->text() +
                             R"(","text":"Over to you"})")["ok"]
                    .IsTrue());
    ASSERT_TRUE(spinUntil([&] { return !app.model().threads().empty(); }, 10000));
    // Bea hears walkie talk from her contacts only.
    ASSERT_TRUE(peer.command(R"({"cmd":"addContact","name":"Ann","number":")" + number->text() +
                             R"("})")["ok"]
                    .IsTrue());
    const std::string bea = app.model().threads().at(0).id;
    screen.click(screen.row("threadList", 0));
    QQuickItem* talk = screen.shown("talkButton");
    ASSERT_TRUE(talk);
    // The conversation slides in: press where the button comes to rest.
    QPointF last(-1, -1);
    spinUntil(
        [&] {
            const QPointF now = talk->mapToScene(QPointF(0, 0));
            const bool still = now == last;
            last = now;
            spinUntil([] { return false; }, 100);
            return still;
        },
        5000);

    // The window holds the walkie by its button: Bea hears Ann's tone.
    bool beaHeard = false;
    {
        const QPoint centre =
            talk->mapToScene(QPointF(talk->width() / 2, talk->height() / 2)).toPoint();
        QTest::mousePress(window, Qt::LeftButton, {}, centre);
        EXPECT_TRUE(spinUntil([&] { return app.bridge().calls()->transmitting(); }, 3000))
            << app.bridge().alertMessage().toStdString();
        EXPECT_EQ(talk->property("text").toString(), QStringLiteral("Talking"));
        beaHeard = spinUntil([&] { return hears(beaHears, 440, 1000); }, 6000);
        QTest::mouseRelease(window, Qt::LeftButton, {}, centre);
    }
    EXPECT_TRUE(beaHeard) << "Bea hears the window's walkie";
    EXPECT_TRUE(spinUntil([&] { return !app.bridge().calls()->holdingTalk(); }, 3000));
    EXPECT_TRUE(spinUntil([&] { return walkieMessages(app.model(), "me") == 1; }, 5000));

    // Bea talks back: the window names her on the line and plays her tone.
    ASSERT_TRUE(
        peer.command(R"({"cmd":"holdTalk","to":")" + number->text() + R"("})")["ok"].IsTrue());
    EXPECT_TRUE(spinUntil([&] { return !app.bridge().calls()->walkieHearing().isEmpty(); }, 5000));
    EXPECT_TRUE(spinUntil([&] { return hears(annHears, 1000, 440); }, 6000))
        << "the window hears Bea's walkie";
    spinUntil([] { return false; }, 1500);  // enough of her tone to hear it again
    ASSERT_TRUE(
        peer.command(R"({"cmd":"endTalk","to":")" + number->text() + R"("})")["ok"].IsTrue());
    EXPECT_TRUE(spinUntil([&] { return walkieMessages(app.model(), "them") == 1; }, 5000));
    EXPECT_TRUE(spinUntil([&] { return !hears(annHears, 1000, 440); }, 8000));

    // Her kept exchange plays again from its row.
    const auto& messages = app.model().threads().at(0).messages;
    int row = -1;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        if (messages[i].text == "Walkie" && messages[i].sender == "them") row = static_cast<int>(i);
    }
    ASSERT_GE(row, 0);
    // Brought into view first: the list may hold more than the window shows.
    QQuickItem* list = screen.shown("messageList");
    ASSERT_TRUE(list);
    QMetaObject::invokeMethod(list, "positionViewAtIndex", Q_ARG(int, row), Q_ARG(int, 2));
    spinUntil([] { return false; }, 200);
    // Her bubble sits at the leading edge of its row.
    QQuickItem* bubble = screen.row("messageList", row);
    ASSERT_TRUE(bubble);
    const QPoint onBubble = bubble->mapToScene(QPointF(60, 16)).toPoint();
    QTest::mouseClick(window, Qt::LeftButton, {}, onBubble);
    EXPECT_TRUE(spinUntil([&] { return hears(annHears, 1000, 440); }, 8000))
        << "the kept exchange plays on the window";
    EXPECT_EQ(app.model().threads().at(0).id, bea);
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication application(argc, argv);
    QQuickStyle::setStyle(QStringLiteral("Material"));
    ui::useIconTheme();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

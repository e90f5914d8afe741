// Qt Quick Test of the screens on the offscreen platform. Two bridges go to
// every test file: `freshApp` (no account yet) and `seededApp` (an account
// with two chats), both over fake transports; `seededPeers` plays the other
// side of the seeded app's calls. Voice messages record from a microphone
// that hears nothing, so none is ever sent.

#include <QtQml/qqmlextensionplugin.h>
#include <QtQuickTest/quicktest.h>
#include <QQmlContext>
#include <QQmlEngine>
#include <QTemporaryDir>

#include <memory>

#include "app/voice_notes.h"
#include "ui/bridge/app_bridge.h"
#include "ui/bridge/icons.h"
#include "ui/engine_setup.h"
#include "ui_fixture.h"

Q_IMPORT_QML_PLUGIN(MerrowfaxPlugin)

namespace {

using namespace merrowfax;

class QuietMicrophone final : public AudioSource {
public:
    AudioFormat format() const override { return kWireAudioFormat; }
    bool start(OnChunk) override { return true; }
    void stop() override {}
};

struct TestApp {
    QTemporaryDir dir;
    std::unique_ptr<AppModel> model;
    std::unique_ptr<ui::AppBridge> bridge;
    testing::FakeLine* line = nullptr;
    testing::FakeMedia* media = nullptr;

    explicit TestApp(bool seeded) {
        const std::filesystem::path folder = dir.path().toStdString();
        if (seeded) {
            Store store(folder);
            store.save(ui::seededDatabase(store, true));
        }
        ui::UiParts parts = ui::testParts();
        line = parts.line;
        media = parts.media;
        parts.components.microphone = [] {
            return std::make_unique<QuietMicrophone>();
        };
        parts.components.voiceEncoder = [] {
            return std::make_unique<testing::PlainVoiceEncoder>();
        };
        model = std::make_unique<AppModel>(folder, std::move(parts.components));
        bridge = std::make_unique<ui::AppBridge>(*model);
    }
};

// What other people do, as the internet line would report it.
class Peers : public QObject {
    Q_OBJECT

public:
    explicit Peers(TestApp& app) : app_(app) {}

    // `number` calls this app.
    Q_INVOKABLE void ring(const QString& number, bool video) {
        const std::string from = number.toStdString();
        report(wire::events::Call{"invite", Uuid::random(), from, "Mac", from, video, from});
    }
    // The other party of the call placed here answers.
    Q_INVOKABLE void accept() {
        const auto& call = app_.model->calls().active();
        if (!call) return;
        report(wire::events::Call{"accept", call->id, call->number, "Mac", call->name, false,
                                  call->number});
    }
    // The line is open: calls go out at once.
    Q_INVOKABLE void openLine() { app_.line->open = true; }
    // A video frame from the other side, decoded.
    Q_INVOKABLE void sendPicture(const QColor& colour) {
        QImage picture(192, 144, QImage::Format_RGB32);
        picture.fill(colour);
        app_.media->publishRemoteImage(picture);
    }
    // A frame of the own camera reaches the preview.
    Q_INVOKABLE void cameraFrame() {
        QImage picture(320, 240, QImage::Format_RGB32);
        picture.fill(Qt::darkCyan);
        app_.media->publishLocalPreview(picture);
    }
    Q_INVOKABLE void setCameras(int count) { app_.media->cameras = count; }
    // `number` keys the walkie up to this app (`start`) or lets go.
    Q_INVOKABLE void talk(const QString& number, bool start) {
        const std::string from = number.toStdString();
        report(wire::events::Talk{start, "", from});
    }

private:
    void report(wire::PeerEvent event) {
        app_.line->callbacks.handler(std::move(event));
        QCoreApplication::processEvents();  // the hop to the main thread
    }

    TestApp& app_;
};

class Setup : public QObject {
    Q_OBJECT

public Q_SLOTS:
    void applicationAvailable() { ui::useIconTheme(); }
    void qmlEngineAvailable(QQmlEngine* engine) {
        fresh_ = std::make_unique<TestApp>(false);
        seeded_ = std::make_unique<TestApp>(true);
        ui::prepareEngine(*engine);
        engine->rootContext()->setContextProperty(QStringLiteral("freshApp"), fresh_->bridge.get());
        engine->rootContext()->setContextProperty(QStringLiteral("seededApp"),
                                                  seeded_->bridge.get());
        peers_ = std::make_unique<Peers>(*seeded_);
        engine->rootContext()->setContextProperty(QStringLiteral("seededPeers"), peers_.get());
    }
    void cleanupTestCase() {
        peers_.reset();
        fresh_.reset();
        seeded_.reset();
    }

private:
    std::unique_ptr<TestApp> fresh_;
    std::unique_ptr<TestApp> seeded_;
    std::unique_ptr<Peers> peers_;
};

}  // namespace

QUICK_TEST_MAIN_WITH_SETUP(screens, Setup)

#include "quick_test_main.moc"

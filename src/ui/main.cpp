// merrowfax: the application window.

#include <QtQml/qqmlextensionplugin.h>
#include <QApplication>
#include <QQmlApplicationEngine>
#include <QQuickStyle>
#include <QTimer>
#include <QWindow>

#include <cstdio>
#include <cstring>

#include "platform/paths.h"
#include "platform/tray.h"
#include "ui/bridge/icons.h"
#include "ui/engine_setup.h"
#include "ui/merrowfax_app.h"
#include "ui/single_instance.h"

Q_IMPORT_QML_PLUGIN(MerrowfaxPlugin)

namespace {

constexpr const char* kUsage =
    "Usage: merrowfax [LINK]\n"
    "Open the Merrowfax window: texts, photos, files, voice messages, calls, a\n"
    "walkie-talkie and screen sharing between Merrowfax numbers.\n"
    "\n"
    "The window runs once per user. Started again, it hands LINK (a contact link\n"
    "such as merrowfax://add?name=Ann&number=0-1-234-5678) to the window that runs,\n"
    "which opens the new-contact sheet filled from it, and ends.\n"
    "\n"
    "Options:\n"
    "  -h, --help  show this help and end\n"
    "\n"
    "Environment:\n"
    "  MERROWFAX_SERVICE       the relay service, wss://HOST[:PORT] (ws:// on loopback)\n"
    "  MERROWFAX_AUDIO_INPUT   microphone: a sound device's name, or file:PATH.wav\n"
    "  MERROWFAX_AUDIO_OUTPUT  speaker: a sound device's name, or file:PATH.wav\n"
    "  MERROWFAX_CAMERA        camera: its id or name, or \"pattern\" for a test picture\n"
    "  MERROWFAX_NO_LAN        when set, no direct links to devices on the network\n"
    "  XDG_DATA_HOME           the data folder is $XDG_DATA_HOME/Merrowfax\n";

// The window, shown and in front.
QObject* raiseWindow(QQmlApplicationEngine& engine) {
    QObject* root = engine.rootObjects().value(0);
    if (auto* window = qobject_cast<QWindow*>(root)) {
        window->show();
        window->raise();
        window->requestActivate();
    }
    return root;
}

// Hands each contact link to the tabs, once they are there; a link needs an
// account, so without one it does nothing.
void openLinks(QQmlApplicationEngine& engine, const QStringList& arguments) {
    for (const QString& argument : arguments) {
        if (!argument.startsWith(QStringLiteral("merrowfax:"), Qt::CaseInsensitive)) continue;
        QTimer::singleShot(0, &engine, [&engine, argument] {
            if (engine.rootObjects().isEmpty()) return;
            if (QObject* tabs =
                    engine.rootObjects().first()->findChild<QObject*>(QStringLiteral("tabs")))
                QMetaObject::invokeMethod(tabs, "openContactLink", Q_ARG(QVariant, argument));
        });
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Before the application object, which needs a display.
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    // A QApplication, not a QGuiApplication: the tray icon's menu is a widget.
    QApplication application(argc, argv);
    QGuiApplication::setApplicationName(QStringLiteral("Merrowfax"));
    QGuiApplication::setApplicationVersion(QStringLiteral("1.0"));
    const std::filesystem::path data = merrowfax::dataFolder();
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    // A second launch (a link opened from a browser, say) goes to the window
    // that runs.
    merrowfax::ui::SingleInstance instance(data);
    if (instance.handOver(arguments)) return 0;
    instance.listen();

    QQuickStyle::setStyle(QStringLiteral("Material"));
    merrowfax::ui::useIconTheme();

    merrowfax::ui::MerrowfaxApp app(data, merrowfax::makeSystemTray());
    QQmlApplicationEngine engine;
    engine.setInitialProperties({{QStringLiteral("app"), QVariant::fromValue(&app.bridge())}});
    QObject::connect(
        &engine, &QQmlApplicationEngine::objectCreationFailed, &application,
        [] { QCoreApplication::exit(1); }, Qt::QueuedConnection);
    merrowfax::ui::prepareEngine(engine);
    engine.load(QUrl(QStringLiteral("qrc:/qt/qml/Merrowfax/Main.qml")));
    openLinks(engine, arguments);
    QObject::connect(&instance, &merrowfax::ui::SingleInstance::received, &engine,
                     [&engine](const QStringList& handed) {
                         raiseWindow(engine);
                         openLinks(engine, handed);
                     });
    QObject::connect(&app, &merrowfax::ui::MerrowfaxApp::windowRequested, &engine,
                     [&engine] { raiseWindow(engine); });
    QObject::connect(
        &app, &merrowfax::ui::MerrowfaxApp::chatRequested, &engine,
        [&engine](const QString& number) {
            QObject* root = raiseWindow(engine);
            if (QObject* tabs = root ? root->findChild<QObject*>(QStringLiteral("tabs")) : nullptr)
                QMetaObject::invokeMethod(tabs, "openChat", Q_ARG(QVariant, number));
        });
    return QGuiApplication::exec();
}

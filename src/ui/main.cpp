// merrowfax: the application window.

#include <QtQml/qqmlextensionplugin.h>
#include <QApplication>
#include <QQmlApplicationEngine>
#include <QQuickStyle>
#include <QTimer>
#include <QWindow>

#include "platform/paths.h"
#include "platform/tray.h"
#include "ui/bridge/icons.h"
#include "ui/engine_setup.h"
#include "ui/merrowfax_app.h"
#include "ui/single_instance.h"

Q_IMPORT_QML_PLUGIN(MerrowfaxPlugin)

namespace {

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

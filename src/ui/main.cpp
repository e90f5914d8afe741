// merrowfax: the application window.

#include <QtQml/qqmlextensionplugin.h>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickStyle>
#include <QTimer>

#include "platform/paths.h"
#include "ui/bridge/icons.h"
#include "ui/engine_setup.h"
#include "ui/merrowfax_app.h"

Q_IMPORT_QML_PLUGIN(MerrowfaxPlugin)

int main(int argc, char** argv) {
    QGuiApplication application(argc, argv);
    QGuiApplication::setApplicationName(QStringLiteral("Merrowfax"));
    QGuiApplication::setApplicationVersion(QStringLiteral("1.0"));
    QQuickStyle::setStyle(QStringLiteral("Material"));
    merrowfax::ui::useIconTheme();

    merrowfax::ui::MerrowfaxApp app(merrowfax::dataFolder());
    QQmlApplicationEngine engine;
    engine.setInitialProperties({{QStringLiteral("app"), QVariant::fromValue(&app.bridge())}});
    QObject::connect(
        &engine, &QQmlApplicationEngine::objectCreationFailed, &application,
        [] { QCoreApplication::exit(1); }, Qt::QueuedConnection);
    merrowfax::ui::prepareEngine(engine);
    engine.load(QUrl(QStringLiteral("qrc:/qt/qml/Merrowfax/Main.qml")));
    // Opened with a contact link (the desktop's merrowfax:// handler): its
    // new-contact sheet, once the tabs are there.
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    for (const QString& argument : arguments) {
        if (!argument.startsWith(QStringLiteral("merrowfax:"), Qt::CaseInsensitive)) continue;
        QTimer::singleShot(0, &engine, [&engine, argument] {
            if (engine.rootObjects().isEmpty()) return;
            if (QObject* tabs =
                    engine.rootObjects().first()->findChild<QObject*>(QStringLiteral("tabs")))
                QMetaObject::invokeMethod(tabs, "openContactLink", Q_ARG(QVariant, argument));
        });
    }
    return QGuiApplication::exec();
}

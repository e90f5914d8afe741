#include "ui/engine_setup.h"

#include "ui/bridge/qr_code.h"

namespace merrowfax::ui {

void prepareEngine(QQmlEngine& engine) {
    engine.addImportPath(QStringLiteral("qrc:/qt/qml"));
    engine.addImageProvider(QStringLiteral("qr"), new QrImageProvider);  // the engine owns it
}

}  // namespace merrowfax::ui

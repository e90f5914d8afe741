#pragma once

#include <QQmlEngine>

namespace merrowfax::ui {

// What every engine that shows the screens needs: the module's import path
// and the QR code images ("image://qr/...").
void prepareEngine(QQmlEngine& engine);

}  // namespace merrowfax::ui

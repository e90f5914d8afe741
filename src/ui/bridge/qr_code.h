#pragma once

#include <QImage>
#include <QQuickImageProvider>
#include <QString>

namespace merrowfax::ui {

// The QR code of `text` (UTF-8, error correction level M), each module
// `scale` pixels square, black on white with a quiet zone of four modules;
// a null image when it cannot be made.
QImage qrImage(const QString& text, int scale = 12);

// "image://qr/<percent-encoded text>" in QML: the code of that text.
class QrImageProvider : public QQuickImageProvider {
public:
    QrImageProvider() : QQuickImageProvider(QQuickImageProvider::Image) {}
    QImage requestImage(const QString& id, QSize* size, const QSize& requested) override;
};

}  // namespace merrowfax::ui

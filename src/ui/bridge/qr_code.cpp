#include "ui/bridge/qr_code.h"

#include <QUrl>

#include <qrencode.h>

#include <memory>

namespace merrowfax::ui {

QImage qrImage(const QString& text, int scale) {
    const QByteArray utf8 = text.toUtf8();
    if (utf8.isEmpty() || scale < 1) return {};
    std::unique_ptr<QRcode, void (*)(QRcode*)> code(
        QRcode_encodeData(static_cast<int>(utf8.size()),
                          reinterpret_cast<const unsigned char*>(utf8.constData()), 0,
                          QR_ECLEVEL_M),
        QRcode_free);
    if (!code) return {};
    constexpr int kQuiet = 4;  // modules of white around, so readers find it
    const int modules = code->width + 2 * kQuiet;
    QImage image(modules * scale, modules * scale, QImage::Format_Grayscale8);
    image.fill(255);
    for (int y = 0; y < code->width; ++y) {
        for (int x = 0; x < code->width; ++x) {
            if (!(code->data[y * code->width + x] & 1)) continue;  // bit 0: dark
            for (int dy = 0; dy < scale; ++dy) {
                uchar* line = image.scanLine((y + kQuiet) * scale + dy);
                std::fill_n(line + (x + kQuiet) * scale, scale, uchar{0});
            }
        }
    }
    return image;
}

QImage QrImageProvider::requestImage(const QString& id, QSize* size, const QSize&) {
    const QImage image = qrImage(QUrl::fromPercentEncoding(id.toUtf8()));
    if (size) *size = image.size();
    return image;
}

}  // namespace merrowfax::ui

#include "app/photo_fit.h"

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>

#include <algorithm>

namespace merrowfax {
namespace {

// A decoded photo may take this much memory; a camera's 50 megapixels fit.
constexpr int kDecodeLimitMB = 256;
constexpr qint64 kMaxPixels = 100'000'000;
constexpr int kQuality = 85;

bool isJpeg(std::span<const std::byte> bytes) {
    return bytes.size() >= 3 && bytes[0] == std::byte{0xFF} && bytes[1] == std::byte{0xD8} &&
           bytes[2] == std::byte{0xFF};
}

QByteArray encoded(const QImage& image) {
    QByteArray out;
    QBuffer buffer(&out);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(kQuality);
    if (!writer.write(image)) return {};
    return out;
}

}  // namespace

std::optional<std::vector<std::byte>> fitPhoto(std::span<const std::byte> bytes,
                                               std::size_t limit) {
    if (bytes.size() < limit || !isJpeg(bytes)) return std::nullopt;
    const QByteArray data = QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<qsizetype>(bytes.size()));
    QBuffer source;
    source.setData(data);
    source.open(QIODevice::ReadOnly);
    QImageReader reader(&source, "jpeg");
    reader.setAllocationLimit(kDecodeLimitMB);
    // Turned as the camera meant: the new file carries no orientation tag.
    reader.setAutoTransform(true);
    const QSize size = reader.size();
    if (!size.isValid() || qint64(size.width()) * size.height() > kMaxPixels) return std::nullopt;
    const int longest = std::max(size.width(), size.height());
    const int first = *std::find_if(std::begin(kPhotoSteps), std::end(kPhotoSteps) - 1,
                                    [&](int step) { return step < longest; });
    if (first >= longest) return std::nullopt;
    // Decoded straight at the first step: the decoder skips what it drops.
    reader.setScaledSize(size.scaled(first, first, Qt::KeepAspectRatio));
    QImage image = reader.read();
    if (image.isNull()) return std::nullopt;
    for (int step : kPhotoSteps) {
        if (step > first) continue;
        const int side = std::max(image.width(), image.height());
        if (side > step) {
            image = image.scaled(step, step, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        }
        const QByteArray out = encoded(image);
        if (out.isEmpty()) return std::nullopt;
        if (static_cast<std::size_t>(out.size()) < limit) {
            const auto* begin = reinterpret_cast<const std::byte*>(out.constData());
            return std::vector<std::byte>(begin, begin + out.size());
        }
    }
    return std::nullopt;
}

}  // namespace merrowfax

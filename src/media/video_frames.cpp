#include "media/video_frames.h"

#include <QBuffer>
#include <QImageReader>
#include <QImageWriter>

namespace merrowfax {
namespace {

// Received frames: far more than any camera of a call sends, far less than
// a decoder could be asked to allocate.
constexpr std::size_t kMaxReceivedFrameBytes = 1 << 20;
constexpr int kMaxReceivedSide = 4096;
constexpr int kDecodeAllocationMb = 64;

}  // namespace

std::optional<wire::Bytes> encodeVideoFrame(const QImage& picture) {
    if (picture.width() <= 1) return std::nullopt;
    const QImage scaled = picture.scaledToWidth(kVideoFrameWidth, Qt::SmoothTransformation);
    if (scaled.isNull()) return std::nullopt;
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(kVideoJpegQuality);
    if (!writer.write(scaled)) return std::nullopt;
    const auto size = static_cast<std::size_t>(jpeg.size());
    if (size == 0 || size >= kMaxVideoFrameBytes) return std::nullopt;
    const auto* data = reinterpret_cast<const std::byte*>(jpeg.constData());
    return wire::Bytes(data, data + size);
}

QImage decodeVideoFrame(std::span<const std::byte> frame) {
    // A whole JPEG opens with its start-of-image marker and closes with its
    // end-of-image marker: nothing else is decoded, and a cut-off frame is
    // not shown half grey.
    if (frame.size() < 4 || frame.size() > kMaxReceivedFrameBytes) return {};
    if (frame[0] != std::byte{0xFF} || frame[1] != std::byte{0xD8}) return {};
    if (frame[frame.size() - 2] != std::byte{0xFF} || frame.back() != std::byte{0xD9}) return {};
    QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(frame.data()),
                                               static_cast<qsizetype>(frame.size()));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "jpeg");
    reader.setDecideFormatFromContent(false);
    reader.setAllocationLimit(kDecodeAllocationMb);
    const QSize size = reader.size();
    if (!size.isValid() || size.width() > kMaxReceivedSide || size.height() > kMaxReceivedSide) {
        return {};
    }
    return reader.read();
}

bool FrameGate::accept(Clock::time_point now) {
    std::lock_guard lock(mutex_);
    if (last_ && now - *last_ <= interval_) return false;
    last_ = now;
    return true;
}

void FrameGate::reset() {
    std::lock_guard lock(mutex_);
    last_.reset();
}

}  // namespace merrowfax

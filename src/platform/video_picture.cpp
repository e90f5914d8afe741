#include <QVideoFrame>
#include <QVideoFrameFormat>

#include <algorithm>
#include <cstdint>

#include "platform/qt_camera.h"

// Converts camera frames on the CPU. QVideoFrame::toImage() wants a GPU
// context of a GUI application on its own thread and crashes without one;
// frames arrive on the backend's thread, in the command-line client too.
namespace merrowfax {
namespace {

struct Yuv {
    int y, u, v;
};

std::uint8_t clamp8(int value) {
    return static_cast<std::uint8_t>(std::clamp(value, 0, 255));
}

// Studio-range BT.601, as cameras deliver it.
QRgb rgbOf(Yuv s) {
    const int c = s.y - 16, d = s.u - 128, e = s.v - 128;
    return qRgb(clamp8((298 * c + 409 * e + 128) >> 8),
                clamp8((298 * c - 100 * d - 208 * e + 128) >> 8),
                clamp8((298 * c + 516 * d + 128) >> 8));
}

template <typename Sample>
QImage fromYuv(int width, int height, Sample sample) {
    QImage out(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < width; ++x) line[x] = rgbOf(sample(x, y));
    }
    return out;
}

QImage convertMapped(const QVideoFrame& frame) {
    const auto format = frame.pixelFormat();
    const int w = frame.width(), h = frame.height();
    const auto plane = [&](int i) {
        return static_cast<const std::uint8_t*>(frame.bits(i));
    };
    const auto stride = [&](int i) {
        return frame.bytesPerLine(i);
    };

    if (const auto image = QVideoFrameFormat::imageFormatFromPixelFormat(format);
        image != QImage::Format_Invalid) {
        return QImage(plane(0), w, h, stride(0), image).copy();
    }
    switch (format) {
        case QVideoFrameFormat::Format_Jpeg:
            return QImage::fromData(plane(0), frame.mappedBytes(0), "JPEG");
        case QVideoFrameFormat::Format_YUV420P:
        case QVideoFrameFormat::Format_YV12: {
            const bool swapped = format == QVideoFrameFormat::Format_YV12;
            const auto* u = plane(swapped ? 2 : 1);
            const auto* v = plane(swapped ? 1 : 2);
            const int uStride = stride(swapped ? 2 : 1), vStride = stride(swapped ? 1 : 2);
            return fromYuv(w, h, [&](int x, int y) {
                return Yuv{plane(0)[y * stride(0) + x], u[(y / 2) * uStride + x / 2],
                           v[(y / 2) * vStride + x / 2]};
            });
        }
        case QVideoFrameFormat::Format_NV12:
        case QVideoFrameFormat::Format_NV21: {
            const int first = format == QVideoFrameFormat::Format_NV12 ? 0 : 1;
            return fromYuv(w, h, [&](int x, int y) {
                const auto* uv = plane(1) + (y / 2) * stride(1) + (x / 2) * 2;
                return Yuv{plane(0)[y * stride(0) + x], uv[first], uv[1 - first]};
            });
        }
        case QVideoFrameFormat::Format_YUYV:
        case QVideoFrameFormat::Format_UYVY: {
            const bool yFirst = format == QVideoFrameFormat::Format_YUYV;
            return fromYuv(w, h, [&](int x, int y) {
                const auto* pair = plane(0) + y * stride(0) + (x / 2) * 4;
                if (yFirst) return Yuv{pair[(x % 2) * 2], pair[1], pair[3]};
                return Yuv{pair[1 + (x % 2) * 2], pair[0], pair[2]};
            });
        }
        default:
            return {};
    }
}

}  // namespace

QImage pictureOf(const QVideoFrame& frame) {
    if (!frame.isValid()) return {};
    QVideoFrame mapped = frame;  // shares the buffer; mapping is per handle
    if (!mapped.map(QVideoFrame::ReadOnly)) return {};
    QImage picture = convertMapped(mapped);
    mapped.unmap();
    return picture;
}

}  // namespace merrowfax

#include "platform/camera.h"

#include <array>

namespace merrowfax {
namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int kBarWidth = 16;
constexpr int kFrameMs = 100;

constexpr std::array<QRgb, 8> kBars = {0xFFFFFFFF, 0xFFFFFF00, 0xFF00FFFF, 0xFF00FF00,
                                       0xFFFF00FF, 0xFFFF0000, 0xFF0000FF, 0xFF000000};

}  // namespace

TestPatternCamera::TestPatternCamera() {
    timer_.setInterval(kFrameMs);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
        if (onFrame_) onFrame_(pattern(position_, index_++));
    });
}

bool TestPatternCamera::start(CameraPosition position, OnFrame onFrame) {
    position_ = position;
    onFrame_ = std::move(onFrame);
    index_ = 0;
    timer_.start();
    return true;
}

void TestPatternCamera::stop() {
    timer_.stop();
    onFrame_ = nullptr;
}

QImage TestPatternCamera::pattern(CameraPosition position, int index) {
    // Written pixel by pixel: no painter, so no font or GUI application needed.
    QImage image(kWidth, kHeight, QImage::Format_RGB32);
    const int barsWide = kWidth / static_cast<int>(kBars.size());
    const int moving = (index * kBarWidth) % kWidth;
    for (int y = 0; y < kHeight; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < kWidth; ++x) {
            const int bar =
                position == CameraPosition::front ? x / barsWide : (kWidth - 1 - x) / barsWide;
            const bool inMoving = x >= moving && x < moving + kBarWidth && y >= kHeight * 3 / 4;
            line[x] = inMoving ? 0xFF808080 : kBars[static_cast<std::size_t>(bar)];
        }
    }
    return image;
}

}  // namespace merrowfax

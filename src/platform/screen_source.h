#pragma once

#include <QSize>

#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

namespace merrowfax {

// One picture of the shared display, already at the size it is sent at:
// 32-bit pixels in X's byte order (blue, green, red, unused), rows packed.
struct ScreenFrame {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> bgrx;

    std::size_t stride() const { return static_cast<std::size_t>(width) * 4; }
};

// The longest side a shared screen is sent at.
inline constexpr int kMaxSharedSide = 1600;

// The size a display of `display` pixels is captured at: scaled down so that
// its longest side is at most kMaxSharedSide, never up, never below 2 x 2.
QSize captureSize(QSize display);

// `source` (`width` x `height` pixels of the frame's format, rows `stride`
// bytes apart) scaled, bilinear, into `frame`, whose size is set.
void scaleInto(const std::uint8_t* source, int width, int height, std::size_t stride,
               ScreenFrame& frame);

// The main display, for screen sharing: frames at most every interval, with
// the cursor drawn in, and only when something changed.
class ScreenSource {
public:
    using OnFrame = std::function<void(ScreenFrame)>;

    virtual ~ScreenSource() = default;
    // Whether there is a display this program may capture.
    virtual bool available() const = 0;
    // The main display's size in pixels; empty without one.
    virtual QSize size() const = 0;
    // `onFrame` runs on a thread of the backend, at most every `interval`,
    // until stop(); false when capture cannot start.
    virtual bool start(std::chrono::milliseconds interval, OnFrame onFrame) = 0;
    virtual void stop() = 0;
};

// Headless: there is no screen to share.
class NoScreen final : public ScreenSource {
public:
    bool available() const override { return false; }
    QSize size() const override { return {}; }
    bool start(std::chrono::milliseconds, OnFrame) override { return false; }
    void stop() override {}
};

}  // namespace merrowfax

#pragma once

#include <QImage>
#include <QSize>

#include <chrono>
#include <functional>

namespace merrowfax {

// The main display, for screen sharing: frames at an interval, with the
// cursor drawn in.
class ScreenSource {
public:
    using OnFrame = std::function<void(const QImage&)>;

    virtual ~ScreenSource() = default;
    // Whether there is a display this program may capture.
    virtual bool available() const = 0;
    // The display's size in pixels; empty without one.
    virtual QSize size() const = 0;
    // `onFrame` runs on a thread of the backend about every `interval`, and
    // only when something changed, until stop().
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

#pragma once

#include <QImage>
#include <QTimer>

#include <functional>

namespace merrowfax {

enum class CameraPosition { front, back };

// A camera: delivers frames as pictures; the media engine scales and encodes
// them.
class Camera {
public:
    using OnFrame = std::function<void(const QImage&)>;

    virtual ~Camera() = default;
    // Whether this device has a camera at all.
    virtual bool available() const = 0;
    // Starts capture from the camera at `position` (or the one there is);
    // `onFrame` runs for every frame on a thread of the backend until stop().
    virtual bool start(CameraPosition position, OnFrame onFrame) = 0;
    virtual void stop() = 0;
    // How many cameras start() chooses between by position: two when the
    // front and the back camera are different devices.
    virtual int count() const { return available() ? 1 : 0; }
};

// No camera: nothing starts.
class NoCamera final : public Camera {
public:
    bool available() const override { return false; }
    bool start(CameraPosition, OnFrame) override { return false; }
    void stop() override {}
};

// The headless camera: 320 x 240 colour bars with a bar that moves one step a
// frame, ten frames a second, on the thread that started it (it needs that
// thread's event loop). The front camera's bars run left to right, the
// back's right to left, so a test can tell them apart.
class TestPatternCamera final : public Camera {
public:
    TestPatternCamera();
    bool available() const override { return true; }
    bool start(CameraPosition position, OnFrame onFrame) override;
    void stop() override;
    int count() const override { return 2; }

    // The frame with number `index` (the first is 0).
    static QImage pattern(CameraPosition position, int index);

private:
    CameraPosition position_ = CameraPosition::front;
    int index_ = 0;
    OnFrame onFrame_;
    QTimer timer_;
};

}  // namespace merrowfax

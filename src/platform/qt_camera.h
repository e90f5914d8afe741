#pragma once

#include <QByteArray>
#include <QImage>

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/camera.h"
#include "platform/device_choice.h"

class QVideoFrame;

namespace merrowfax {

// A camera of this machine through Qt Multimedia.
//
// The capture objects live on the thread that made this camera, which must
// run an event loop (the main thread). start() and stop() may be called from
// any thread: they hand the work to that thread and return at once. Frames
// arrive on the backend's own thread; once stop() has returned no frame is
// delivered any more (so onFrame must not call stop() itself).
class QtCamera final : public Camera {
public:
    // With `fixedId` that one camera, whatever position is asked for;
    // otherwise the system's cameras, chosen by position.
    explicit QtCamera(std::optional<QByteArray> fixedId = std::nullopt);
    ~QtCamera() override;

    bool available() const override;
    int count() const override;
    bool start(CameraPosition position, OnFrame onFrame) override;
    void stop() override;

    // The machine's cameras, as Qt Multimedia sees them now.
    static std::vector<CameraInfo> cameras();

private:
    class Rig;
    struct Delivery {
        std::mutex mutex;
        OnFrame onFrame;
    };

    void onOwnerThread(std::function<void()> work);

    std::optional<QByteArray> fixedId_;
    std::shared_ptr<Delivery> delivery_;  // shared with the frame callback
    Rig* rig_;                            // the capture objects, on the owner thread
};

// The picture in one camera frame, converted on the calling thread; null
// when its format is not one cameras use.
QImage pictureOf(const QVideoFrame& frame);

}  // namespace merrowfax

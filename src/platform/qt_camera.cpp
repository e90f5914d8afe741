#include "platform/qt_camera.h"

#include <QCamera>
#include <QCameraDevice>
#include <QMediaCaptureSession>
#include <QMediaDevices>
#include <QMetaObject>
#include <QThread>
#include <QVideoFrame>
#include <QVideoSink>

#include <string>

#include "platform/camera_pick.h"
#include "platform/diagnostic_log.h"

namespace merrowfax {
namespace {

std::optional<CameraPosition> positionOf(const QCameraDevice& device) {
    switch (device.position()) {
        case QCameraDevice::FrontFace:
            return CameraPosition::front;
        case QCameraDevice::BackFace:
            return CameraPosition::back;
        case QCameraDevice::UnspecifiedPosition:
            break;
    }
    return std::nullopt;
}

bool isCompressed(QVideoFrameFormat::PixelFormat format) {
    return format == QVideoFrameFormat::Format_Jpeg;
}

// The camera's mode that costs least for the small pictures sent; an empty
// format (the camera's own choice) when it lists none.
QCameraFormat lowFormat(const QCameraDevice& device) {
    const QList<QCameraFormat> formats = device.videoFormats();
    std::vector<CameraMode> modes;
    for (const QCameraFormat& f : formats) {
        modes.push_back({f.resolution().width(), f.resolution().height(), f.maxFrameRate(),
                         isCompressed(f.pixelFormat())});
    }
    const auto best = lowResolutionMode(modes);
    return best ? formats[static_cast<qsizetype>(*best)] : QCameraFormat();
}

std::vector<CameraInfo> describe(const QList<QCameraDevice>& devices) {
    const QCameraDevice preferred = QMediaDevices::defaultVideoInput();
    std::vector<CameraInfo> out;
    for (const QCameraDevice& device : devices) {
        out.push_back({device.id().toStdString(), device.description().toStdString(),
                       positionOf(device), device == preferred});
    }
    return out;
}

}  // namespace

// The capture objects. They live on the owner thread; the frame callback
// runs on the backend's thread and touches only the shared delivery.
class QtCamera::Rig : public QObject {
public:
    explicit Rig(std::shared_ptr<Delivery> delivery) {
        session_.setVideoSink(&sink_);
        // Direct: the conversion runs on the backend's thread, not the owner's.
        QObject::connect(
            &sink_, &QVideoSink::videoFrameChanged, this,
            [delivery = std::move(delivery)](const QVideoFrame& frame) {
                {
                    std::lock_guard lock(delivery->mutex);
                    if (!delivery->onFrame) return;
                }
                const QImage picture = pictureOf(frame);
                if (picture.isNull()) return;
                std::lock_guard lock(delivery->mutex);
                if (delivery->onFrame) delivery->onFrame(picture);
            },
            Qt::DirectConnection);
    }

    void open(const QCameraDevice& device) {
        if (camera_ && camera_->cameraDevice() == device && camera_->isActive()) return;
        close();
        camera_ = std::make_unique<QCamera>(device);
        const QCameraFormat format = lowFormat(device);
        if (!format.isNull()) camera_->setCameraFormat(format);
        QObject::connect(camera_.get(), &QCamera::errorOccurred, this,
                         [](QCamera::Error, const QString& text) {
                             diagnosticLog("camera: " + text.toStdString());
                         });
        session_.setCamera(camera_.get());
        camera_->start();
    }

    void close() {
        if (!camera_) return;
        camera_->stop();
        session_.setCamera(nullptr);
        camera_.reset();
    }

    ~Rig() override { close(); }

private:
    QMediaCaptureSession session_;
    QVideoSink sink_;
    std::unique_ptr<QCamera> camera_;
};

QtCamera::QtCamera(std::optional<QByteArray> fixedId)
    : fixedId_(std::move(fixedId)),
      delivery_(std::make_shared<Delivery>()),
      rig_(new Rig(delivery_)) {}

QtCamera::~QtCamera() {
    {
        std::lock_guard lock(delivery_->mutex);
        delivery_->onFrame = nullptr;
    }
    // Queued work for the rig is dropped with it.
    if (QThread::currentThread() == rig_->thread()) {
        delete rig_;
    } else {
        rig_->deleteLater();
    }
}

std::vector<CameraInfo> QtCamera::cameras() {
    return describe(QMediaDevices::videoInputs());
}

bool QtCamera::available() const {
    return count() > 0;
}

int QtCamera::count() const {
    const auto all = cameras();
    if (fixedId_) return findCamera(all, fixedId_->toStdString()) ? 1 : 0;
    return static_cast<int>(all.size());
}

bool QtCamera::start(CameraPosition position, OnFrame onFrame) {
    const QList<QCameraDevice> devices = QMediaDevices::videoInputs();
    const std::vector<CameraInfo> all = describe(devices);
    std::optional<std::size_t> index;
    if (fixedId_) {
        index = findCamera(all, fixedId_->toStdString());
    } else if (!all.empty()) {
        index = cameraFor(all, position);
    }
    if (!index) return false;
    {
        std::lock_guard lock(delivery_->mutex);
        delivery_->onFrame = std::move(onFrame);
    }
    const QCameraDevice device = devices[static_cast<qsizetype>(*index)];
    onOwnerThread([rig = rig_, device] { rig->open(device); });
    return true;
}

void QtCamera::stop() {
    {
        std::lock_guard lock(delivery_->mutex);
        delivery_->onFrame = nullptr;
    }
    onOwnerThread([rig = rig_] { rig->close(); });
}

void QtCamera::onOwnerThread(std::function<void()> work) {
    if (QThread::currentThread() == rig_->thread()) {
        work();
    } else {
        QMetaObject::invokeMethod(rig_, std::move(work), Qt::QueuedConnection);
    }
}

}  // namespace merrowfax

#include "platform/camera_pick.h"
#include "platform/canberra_sounds.h"
#include "platform/device_choice.h"
#include "platform/qt_camera.h"

namespace merrowfax {

std::unique_ptr<Camera> openCamera(const std::string& choice) {
    if (choice == "pattern") return std::make_unique<TestPatternCamera>();
    const std::vector<CameraInfo> cameras = QtCamera::cameras();
    if (choice.empty()) {
        if (cameras.empty()) return std::make_unique<NoCamera>();
        return std::make_unique<QtCamera>();
    }
    const auto named = findCamera(cameras, choice);
    if (!named) return std::make_unique<NoCamera>();
    return std::make_unique<QtCamera>(QByteArray::fromStdString(cameras[*named].id));
}

std::vector<CameraInfo> listCameras() {
    return QtCamera::cameras();
}

std::unique_ptr<Sounds> makeDesktopSounds() {
    return std::make_unique<CanberraSounds>();
}

}  // namespace merrowfax

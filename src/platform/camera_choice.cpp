#include "platform/device_choice.h"

namespace merrowfax {

// Stand-ins until the real camera and sounds land.
std::unique_ptr<Camera> openCamera(const std::string& choice) {
    if (choice == "pattern") return std::make_unique<TestPatternCamera>();
    return std::make_unique<NoCamera>();
}

std::unique_ptr<Sounds> makeDesktopSounds() {
    return std::make_unique<SilentSounds>();
}

}  // namespace merrowfax

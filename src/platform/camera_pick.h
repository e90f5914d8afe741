#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "platform/device_choice.h"

namespace merrowfax {

// Choosing among the machine's cameras and their modes; kept apart from the
// capture itself so that it can be checked without a camera.

// The camera a user named: by its id or its description, exactly.
std::optional<std::size_t> findCamera(const std::vector<CameraInfo>& cameras,
                                      const std::string& choice);

// The camera for `position` when the user named none: the one the system
// places there; otherwise the default one for the front and another one for
// the back, so that a desktop with two webcams can still switch. `cameras`
// must not be empty.
std::size_t cameraFor(const std::vector<CameraInfo>& cameras, CameraPosition position);

// One capture mode of a camera.
struct CameraMode {
    int width = 0;
    int height = 0;
    float maxFps = 0;
    bool compressed = false;  // Motion JPEG and the like: to be decoded first
};

// The smallest mode still as wide as the pictures sent (192 pixels), so
// that capture and conversion cost little; a camera with none that wide
// gets its largest. Among equal sizes an uncompressed one, then the faster.
std::optional<std::size_t> lowResolutionMode(const std::vector<CameraMode>& modes);

}  // namespace merrowfax

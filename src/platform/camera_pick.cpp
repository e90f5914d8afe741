#include "platform/camera_pick.h"

#include <algorithm>
#include <tuple>

namespace merrowfax {
namespace {

constexpr int kSentWidth = 192;

}  // namespace

std::optional<std::size_t> findCamera(const std::vector<CameraInfo>& cameras,
                                      const std::string& choice) {
    for (std::size_t i = 0; i < cameras.size(); ++i) {
        if (cameras[i].id == choice) return i;
    }
    for (std::size_t i = 0; i < cameras.size(); ++i) {
        if (cameras[i].description == choice) return i;
    }
    return std::nullopt;
}

std::size_t cameraFor(const std::vector<CameraInfo>& cameras, CameraPosition position) {
    for (std::size_t i = 0; i < cameras.size(); ++i) {
        if (cameras[i].position == position) return i;
    }
    const auto isDefault = std::find_if(cameras.begin(), cameras.end(),
                                        [](const CameraInfo& c) { return c.isDefault; });
    const std::size_t fallback =
        isDefault == cameras.end() ? 0 : static_cast<std::size_t>(isDefault - cameras.begin());
    if (position == CameraPosition::back) {
        for (std::size_t i = 0; i < cameras.size(); ++i) {
            // Not one the system places at the front: that one serves the front.
            if (i != fallback && cameras[i].position != CameraPosition::front) return i;
        }
    }
    return fallback;
}

std::optional<std::size_t> lowResolutionMode(const std::vector<CameraMode>& modes) {
    if (modes.empty()) return std::nullopt;
    const auto wideEnough = [](const CameraMode& m) {
        return m.width >= kSentWidth;
    };
    const bool anyWide = std::any_of(modes.begin(), modes.end(), wideEnough);
    // Ranks a mode: lower is better.
    const auto rank = [&](const CameraMode& m) {
        const long long area = static_cast<long long>(m.width) * m.height;
        return std::make_tuple(anyWide && !wideEnough(m), anyWide ? area : -area, m.compressed,
                               -m.maxFps);
    };
    std::size_t best = 0;
    for (std::size_t i = 1; i < modes.size(); ++i) {
        if (rank(modes[i]) < rank(modes[best])) best = i;
    }
    return best;
}

}  // namespace merrowfax

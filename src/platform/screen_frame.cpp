#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/screen_source.h"

namespace merrowfax {
namespace {

// Bilinear steps along one axis, in 8-bit fixed point.
struct Step {
    int from, next, weight;
};
std::vector<Step> steps(int source, int target) {
    std::vector<Step> out(static_cast<std::size_t>(target));
    const double ratio = static_cast<double>(source) / target;
    for (int i = 0; i < target; ++i) {
        const double at = std::clamp((i + 0.5) * ratio - 0.5, 0.0, source - 1.0);
        const int from = static_cast<int>(at);
        out[static_cast<std::size_t>(i)] = {from, std::min(from + 1, source - 1),
                                            static_cast<int>((at - from) * 256)};
    }
    return out;
}

}  // namespace

QSize captureSize(QSize display) {
    const int longest = std::max({display.width(), display.height(), 1});
    const double scale = std::min(static_cast<double>(kMaxSharedSide) / longest, 1.0);
    return {std::max(2, static_cast<int>(std::lround(display.width() * scale))),
            std::max(2, static_cast<int>(std::lround(display.height() * scale)))};
}

void scaleInto(const std::uint8_t* source, int width, int height, std::size_t stride,
               ScreenFrame& frame) {
    frame.bgrx.resize(frame.stride() * static_cast<std::size_t>(frame.height));
    if (frame.width == width && frame.height == height) {
        for (int y = 0; y < height; ++y)
            std::memcpy(frame.bgrx.data() + static_cast<std::size_t>(y) * frame.stride(),
                        source + static_cast<std::size_t>(y) * stride, frame.stride());
        return;
    }
    const std::vector<Step> xs = steps(width, frame.width);
    const std::vector<Step> ys = steps(height, frame.height);
    std::uint8_t* out = frame.bgrx.data();
    for (const Step& sy : ys) {
        const std::uint8_t* top = source + static_cast<std::size_t>(sy.from) * stride;
        const std::uint8_t* bottom = source + static_cast<std::size_t>(sy.next) * stride;
        for (const Step& sx : xs) {
            const std::uint8_t* a = top + sx.from * 4;
            const std::uint8_t* b = top + sx.next * 4;
            const std::uint8_t* c = bottom + sx.from * 4;
            const std::uint8_t* d = bottom + sx.next * 4;
            for (int k = 0; k < 3; ++k) {
                const int upper = a[k] * (256 - sx.weight) + b[k] * sx.weight;
                const int lower = c[k] * (256 - sx.weight) + d[k] * sx.weight;
                out[k] = static_cast<std::uint8_t>(
                    (upper * (256 - sy.weight) + lower * sy.weight) >> 16);
            }
            out[3] = 0;
            out += 4;
        }
    }
}

}  // namespace merrowfax

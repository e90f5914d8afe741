#include "media/desk_encoder.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cmath>

namespace merrowfax {

// One compressor, kept between frames: making it costs more than a frame.
class DeskEncoder::TurboJpeg {
public:
    TurboJpeg() : handle_(tjInitCompress()) {}
    ~TurboJpeg() {
        if (handle_) tjDestroy(handle_);
    }
    TurboJpeg(const TurboJpeg&) = delete;
    TurboJpeg& operator=(const TurboJpeg&) = delete;

    std::optional<wire::Bytes> compress(const ScreenFrame& frame, int quality) {
        if (!handle_ || frame.width <= 0 || frame.height <= 0 ||
            frame.bgrx.size() < frame.stride() * static_cast<std::size_t>(frame.height)) {
            return std::nullopt;
        }
        unsigned char* out = nullptr;
        unsigned long size = 0;
        const int failed =
            tjCompress2(handle_, frame.bgrx.data(), frame.width, static_cast<int>(frame.stride()),
                        frame.height, TJPF_BGRX, &out, &size, TJSAMP_420, quality, TJFLAG_FASTDCT);
        std::optional<wire::Bytes> jpeg;
        if (!failed && out) {
            const auto* bytes = reinterpret_cast<const std::byte*>(out);
            jpeg.emplace(bytes, bytes + size);
        }
        tjFree(out);
        return jpeg;
    }

private:
    tjhandle handle_;
};

DeskEncoder::DeskEncoder() : turbo_(std::make_unique<TurboJpeg>()) {
    jpeg_ = [turbo = turbo_.get()](const ScreenFrame& frame, int quality) {
        return turbo->compress(frame, quality);
    };
}

DeskEncoder::DeskEncoder(Jpeg jpeg) : jpeg_(std::move(jpeg)) {}

DeskEncoder::~DeskEncoder() = default;

std::optional<wire::Bytes> DeskEncoder::encode(const ScreenFrame& frame) {
    std::optional<wire::Bytes> jpeg = jpeg_(frame, kQuality);
    if (jpeg && jpeg->size() > kRetryAbove) {
        ScreenFrame smaller;
        smaller.width = std::max(2, static_cast<int>(std::lround(frame.width * kRetryScale)));
        smaller.height = std::max(2, static_cast<int>(std::lround(frame.height * kRetryScale)));
        scaleInto(frame.bgrx.data(), frame.width, frame.height, frame.stride(), smaller);
        if (auto again = jpeg_(smaller, kRetryQuality)) jpeg = std::move(again);
    }
    if (!jpeg || jpeg->size() >= kMaxBytes) return std::nullopt;
    return jpeg;
}

}  // namespace merrowfax

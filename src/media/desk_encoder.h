#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "platform/screen_source.h"
#include "wire/peer_event.h"

namespace merrowfax {

// Turns captured screen frames into the JPEG pictures a share sends: quality
// 0.55; a picture over kRetryAbove bytes is made again at 0.75 scale and
// quality 0.5; one of kMaxBytes or more is not sent. One encoder per thread.
class DeskEncoder {
public:
    static constexpr std::size_t kRetryAbove = 700'000;
    static constexpr std::size_t kMaxBytes = 900'001;
    static constexpr int kQuality = 55;
    static constexpr int kRetryQuality = 50;
    static constexpr double kRetryScale = 0.75;

    // A JPEG of the frame at a quality (1 to 100); nothing on failure.
    using Jpeg = std::function<std::optional<wire::Bytes>(const ScreenFrame&, int quality)>;

    DeskEncoder();  // TurboJPEG
    explicit DeskEncoder(Jpeg jpeg);
    ~DeskEncoder();
    DeskEncoder(const DeskEncoder&) = delete;
    DeskEncoder& operator=(const DeskEncoder&) = delete;

    std::optional<wire::Bytes> encode(const ScreenFrame& frame);

private:
    class TurboJpeg;
    std::unique_ptr<TurboJpeg> turbo_;
    Jpeg jpeg_;
};

}  // namespace merrowfax

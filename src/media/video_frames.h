#pragma once

#include <QImage>

#include <chrono>
#include <mutex>
#include <optional>
#include <span>

#include "wire/peer_event.h"

namespace merrowfax {

// Camera frames on the wire: one JPEG each, 192 pixels wide.
inline constexpr int kVideoFrameWidth = 192;
inline constexpr int kVideoJpegQuality = 35;
inline constexpr std::size_t kMaxVideoFrameBytes = 40'000;  // sent frames are shorter

// A camera picture scaled to the wire width (height by its aspect) as a
// JPEG; nothing when it is 1 pixel wide or less, does not encode, or comes
// out at kMaxVideoFrameBytes or longer.
std::optional<wire::Bytes> encodeVideoFrame(const QImage& picture);

// A received frame as a picture; null when it is not a JPEG of a sensible
// size. Nothing large is allocated for a header that only claims a size.
QImage decodeVideoFrame(std::span<const std::byte> frame);

// Lets through at most one camera frame per interval; any thread.
class FrameGate {
public:
    using Clock = std::chrono::steady_clock;

    explicit FrameGate(Clock::duration interval) : interval_(interval) {}
    // Whether a frame arriving at `now` is taken (and then counts as the last).
    bool accept(Clock::time_point now);
    // The next frame is taken whenever it comes.
    void reset();

private:
    std::mutex mutex_;
    const Clock::duration interval_;
    std::optional<Clock::time_point> last_;
};

}  // namespace merrowfax

#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace merrowfax {

// The longest sides a photo too large for the relay service is scaled to,
// largest first.
inline constexpr int kPhotoSteps[] = {2560, 1920, 1600, 1280};

// A JPEG of `limit` bytes or more, scaled down step by step (kPhotoSteps,
// only steps smaller than the photo) and encoded again until it is under
// `limit`. Nothing when the bytes are not such a JPEG, cannot be decoded
// within bounds (a header may claim any size) or no step fits: the caller
// then keeps the original.
std::optional<std::vector<std::byte>> fitPhoto(std::span<const std::byte> bytes, std::size_t limit);

}  // namespace merrowfax

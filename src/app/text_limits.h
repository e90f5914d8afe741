#pragma once

#include <cstddef>

namespace merrowfax {

// Names (own, contacts) hold at most this many characters.
inline constexpr std::size_t kNameLimit = 40;
// A text message holds at most this many characters.
inline constexpr std::size_t kTextLimit = 4000;
// An attachment may not be larger than this.
inline constexpr std::size_t kAttachmentLimit = 20'000'000;
// Attachments smaller than this also travel through the relay service
// (base64 inside one envelope).
inline constexpr std::size_t kRelayAttachmentLimit = 900'000;

}  // namespace merrowfax

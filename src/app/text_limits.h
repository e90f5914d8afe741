#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "numbers/unicode_text.h"

namespace merrowfax {

// Names (own, contacts) hold at most this many characters.
inline constexpr std::size_t kNameLimit = 40;
// Every name this program keeps, shows or sends (own, contacts, directory,
// callers and strangers), cleaned the one way: nothing invisible, trimmed, at
// most kNameLimit characters. Empty when nothing is left to read.
inline std::string cleanName(std::string_view name) {
    return unicode::cleanName(name, kNameLimit);
}

// A text message holds at most this many characters.
inline constexpr std::size_t kTextLimit = 4000;
// An attachment may not be larger than this.
inline constexpr std::size_t kAttachmentLimit = 20'000'000;
// Attachments smaller than this also travel through the relay service
// (base64 inside one envelope).
inline constexpr std::size_t kRelayAttachmentLimit = 900'000;

}  // namespace merrowfax

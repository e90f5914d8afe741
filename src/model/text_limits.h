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

// A file name as shown holds at most this many characters; no file system
// takes longer ones.
inline constexpr std::size_t kFileNameLimit = 255;
// An attachment's name as this program keeps and shows it, cleaned as names
// are: a right-to-left override must not make "invoice\u202Efdp.exe" read as
// a PDF. "File" when nothing is left to read.
inline std::string cleanFileName(std::string_view name) {
    std::string clean = unicode::cleanName(name, kFileNameLimit);
    return clean.empty() ? std::string("File") : clean;
}

// A text message holds at most this many characters.
inline constexpr std::size_t kTextLimit = 4000;
// An attachment may not be larger than this.
inline constexpr std::size_t kAttachmentLimit = 20'000'000;
// Attachments smaller than this also travel through the relay service
// (base64 inside one envelope).
inline constexpr std::size_t kRelayAttachmentLimit = 900'000;

}  // namespace merrowfax

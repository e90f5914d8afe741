#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Standard base64 (RFC 4648 alphabet, with padding), as binary content
// travels inside envelopes on the internet line.
namespace merrowfax::wire {

std::string encodeBase64(std::span<const std::byte> bytes);

// Strict: padding required, no whitespace or other characters, no stray bits
// in the last group. Nothing when it decodes to more than maxBytes; a text
// clearly too long is refused before anything is allocated.
std::optional<std::vector<std::byte>> decodeBase64(std::string_view text, std::size_t maxBytes);

}  // namespace merrowfax::wire

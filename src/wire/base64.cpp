#include "wire/base64.h"

#include <sodium.h>

namespace merrowfax::wire {

std::string encodeBase64(std::span<const std::byte> bytes) {
    constexpr int kVariant = sodium_base64_VARIANT_ORIGINAL;
    // sodium_base64_encoded_len counts the terminating NUL.
    std::string text(sodium_base64_encoded_len(bytes.size(), kVariant), '\0');
    sodium_bin2base64(text.data(), text.size(),
                      reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), kVariant);
    text.pop_back();
    return text;
}

std::optional<std::vector<std::byte>> decodeBase64(std::string_view text, std::size_t maxBytes) {
    // Every 4 characters give at most 3 bytes; refuse before allocating.
    const std::size_t capacity = text.size() / 4 * 3 + 3;
    if (text.size() % 4 != 0 || text.size() / 4 * 3 > maxBytes + 2) return std::nullopt;
    std::vector<std::byte> bytes(capacity);
    std::size_t length = 0;
    // Without b64_end the whole text must be valid.
    if (sodium_base642bin(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size(), text.data(),
                          text.size(), nullptr, &length, nullptr,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        length > maxBytes) {
        return std::nullopt;
    }
    bytes.resize(length);
    return bytes;
}

}  // namespace merrowfax::wire

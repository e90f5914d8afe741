#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace merrowfax {

// Well-formed UTF-8 (no overlong forms, no surrogates, nothing above
// U+10FFFF). Runs of ASCII are checked eight bytes at a time, which is most
// of a JSON document.
inline bool isValidUtf8(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* const end = p + text.size();
    while (p < end) {
        if (end - p >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, 8);
            if ((word & 0x8080808080808080ULL) == 0) {
                p += 8;
                continue;
            }
        }
        const unsigned c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        auto tail = [&](int i) {
            return (p[i] & 0xC0) == 0x80;
        };
        if (c < 0xC2) return false;  // a continuation byte, or overlong
        if (c < 0xE0) {
            if (end - p < 2 || !tail(1)) return false;
            p += 2;
        } else if (c < 0xF0) {
            if (end - p < 3 || !tail(1) || !tail(2)) return false;
            if ((c == 0xE0 && p[1] < 0xA0) || (c == 0xED && p[1] > 0x9F)) return false;
            p += 3;
        } else if (c < 0xF5) {
            if (end - p < 4 || !tail(1) || !tail(2) || !tail(3)) return false;
            if ((c == 0xF0 && p[1] < 0x90) || (c == 0xF4 && p[1] > 0x8F)) return false;
            p += 4;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace merrowfax

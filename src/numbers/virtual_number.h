#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "numbers/country.h"

namespace merrowfax {

// A number of the plan: country, city and seven local digits.
struct VirtualNumber {
    Country country;
    std::int64_t cityCode = 0;
    std::int64_t subscriber = 0;  // 1 ... 9'999'999

    // Canonical text form, "0-1-234-5678": how a number is stored and sent
    // everywhere outside the own account.
    std::string text() const;

    // The one way typed text becomes a number. Separators and letters are
    // ignored; never throws, any malformed input gives no number.
    static std::optional<VirtualNumber> parse(std::string_view input);

    // A number in that city with uniformly random local digits, never 0, from
    // the system's cryptographic random source.
    static VirtualNumber issue(const City& in);

    bool operator==(const VirtualNumber&) const = default;
};

// True for a number in its canonical text form and nothing else: what the
// network sends must be exactly that before it may name a thread or a call.
bool isCanonicalNumber(std::string_view text);

// "Calgary, Alberta" for a number text whose city is in the plan; empty for
// anything else.
std::string placeLineOf(std::string_view numberText);

// What the keypad shows for a country, a city and the typed digits (at most
// the first seven count): "0-1-", "0-1-234", "0-1-234-5".
std::string keypadText(std::string_view country, std::int64_t cityCode, std::string_view digits);

}  // namespace merrowfax

template <>
struct std::hash<merrowfax::VirtualNumber> {
    std::size_t operator()(const merrowfax::VirtualNumber& n) const noexcept {
        std::size_t h = std::hash<std::string>{}(n.country.code);
        h ^= std::hash<std::int64_t>{}(n.cityCode) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
        h ^= std::hash<std::int64_t>{}(n.subscriber) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
        return h;
    }
};

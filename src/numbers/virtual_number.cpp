#include "numbers/virtual_number.h"

#include <sys/random.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <stdexcept>

#include <unicode/uchar.h>
#include <unicode/utf8.h>

namespace merrowfax {
namespace {

constexpr std::int64_t kSubscriberValues = 10'000'000;
constexpr std::size_t kSubscriberDigits = 7;
constexpr std::size_t kLongestCode = 4;

// Base-10 value of an ASCII digit string; absent when empty or beyond int64.
std::optional<std::int64_t> decimalValue(std::string_view digits) {
    if (digits.empty()) return std::nullopt;
    std::int64_t value = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc{} || end != digits.data() + digits.size()) return std::nullopt;
    return value;
}

// The numeric characters of the input, in order. Digits outside ASCII
// (Arabic-Indic, full-width ...) and control characters make the whole input
// unreadable as a number: absent.
std::optional<std::string> numericCharacters(std::string_view input) {
    std::string digits;
    digits.reserve(input.size() < 32 ? input.size() : 32);
    const auto* bytes = reinterpret_cast<const uint8_t*>(input.data());
    const auto size = static_cast<int32_t>(std::min<std::size_t>(input.size(), INT32_MAX));
    for (int32_t i = 0; i < size;) {
        const uint8_t b = bytes[i];
        if (b < 0x80) {
            ++i;
            if (b >= '0' && b <= '9') {
                digits.push_back(static_cast<char>(b));
            } else if (b == 0) {
                return std::nullopt;
            }
            continue;
        }
        UChar32 c;
        U8_NEXT(bytes, i, size, c);
        if (c < 0) continue;  // a broken byte is not a digit
        if (u_getIntPropertyValue(c, UCHAR_NUMERIC_TYPE) != U_NT_NONE) return std::nullopt;
    }
    return digits;
}

std::uint64_t randomWord() {
    std::uint64_t word = 0;
    auto* out = reinterpret_cast<unsigned char*>(&word);
    std::size_t filled = 0;
    while (filled < sizeof word) {
        ssize_t got = getrandom(out + filled, sizeof word - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error("system random source unavailable");
        }
        filled += static_cast<std::size_t>(got);
    }
    return word;
}

__extension__ using Uint128 = unsigned __int128;

// Uniform in [0, bound) by Lemire's multiply-and-reject: no modulo bias.
std::uint64_t uniformBelow(std::uint64_t bound) {
    const std::uint64_t threshold = (0 - bound) % bound;  // 2^64 mod bound
    for (;;) {
        const Uint128 product = static_cast<Uint128>(randomWord()) * static_cast<Uint128>(bound);
        if (static_cast<std::uint64_t>(product) >= threshold) {
            return static_cast<std::uint64_t>(product >> 64);
        }
    }
}

}  // namespace

std::string VirtualNumber::text() const {
    std::array<char, 24> local{};
    std::snprintf(local.data(), local.size(), "%07lld", static_cast<long long>(subscriber));
    std::string_view padded(local.data());
    const std::size_t split = padded.size() - 4;
    std::string out;
    out.reserve(country.code.size() + 24);
    out += country.code;
    out += '-';
    out += std::to_string(cityCode);
    out += '-';
    out += padded.substr(0, split);
    out += '-';
    out += padded.substr(split);
    return out;
}

std::optional<VirtualNumber> VirtualNumber::parse(std::string_view input) {
    auto digits = numericCharacters(input);
    if (!digits || digits->size() <= kSubscriberDigits) return std::nullopt;
    const std::string_view all(*digits);
    const std::string_view head = all.substr(0, all.size() - kSubscriberDigits);
    auto subscriber = decimalValue(all.substr(head.size()));
    if (!subscriber || *subscriber < 1) return std::nullopt;

    // Longest code first; codes of one length cannot both prefix the head, so
    // trying each length once is the same walk as the code list.
    for (std::size_t length = std::min(kLongestCode, head.size() - 1); length >= 1; --length) {
        const std::string_view code = head.substr(0, length);
        if (!isCountryCode(code)) continue;
        auto cityCode = decimalValue(head.substr(length));
        if (!cityCode || *cityCode < 1) continue;
        if (!city(code, *cityCode)) return std::nullopt;
        return VirtualNumber{Country{std::string(code)}, *cityCode, *subscriber};
    }
    return std::nullopt;
}

VirtualNumber VirtualNumber::issue(const City& in) {
    std::uint64_t value = 0;
    while (value == 0) value = uniformBelow(kSubscriberValues);
    return VirtualNumber{in.country, in.code, static_cast<std::int64_t>(value)};
}

std::string keypadText(std::string_view country, std::int64_t cityCode, std::string_view digits) {
    // Count characters, not bytes, so a cut never splits a UTF-8 sequence.
    std::size_t cut = 0;
    for (int kept = 0; cut < digits.size() && kept < static_cast<int>(kSubscriberDigits); ++kept) {
        do {
            ++cut;
        } while (cut < digits.size() && (static_cast<unsigned char>(digits[cut]) & 0xC0) == 0x80);
    }
    const std::string_view typed = digits.substr(0, cut);
    std::string out;
    out += country;
    out += '-';
    out += std::to_string(cityCode);
    out += '-';
    std::size_t firstThree = 0;
    int count = 0;
    for (std::size_t i = 0; i < typed.size(); ++i) {
        if ((static_cast<unsigned char>(typed[i]) & 0xC0) != 0x80 && ++count == 4) {
            firstThree = i;
            break;
        }
    }
    if (firstThree == 0) {
        out += typed;
    } else {
        out += typed.substr(0, firstThree);
        out += '-';
        out += typed.substr(firstThree);
    }
    return out;
}

bool isCanonicalNumber(std::string_view text) {
    // Longer than any canonical text: no need to parse it.
    if (text.size() > 32) return false;
    const auto parsed = VirtualNumber::parse(text);
    return parsed && parsed->text() == text;
}

std::string placeLineOf(std::string_view numberText) {
    const auto number = VirtualNumber::parse(numberText);
    if (!number) return {};
    const auto place = city(number->country.code, number->cityCode);
    return place ? placeLine(*place) : std::string();
}

}  // namespace merrowfax

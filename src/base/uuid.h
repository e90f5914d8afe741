#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace merrowfax {

// A UUID as 16 bytes; its text is the 36-character upper-case form.
class Uuid {
public:
    Uuid() = default;  // the nil UUID

    static Uuid random();
    // Accepts exactly the 36-character hyphenated form, either case.
    static std::optional<Uuid> parse(std::string_view text);

    static Uuid fromBytes(const std::array<std::uint8_t, 16>& bytes) {
        Uuid u;
        u.bytes_ = bytes;
        return u;
    }

    std::string text() const;  // "E621E1F8-C36C-495A-93FC-0C247A3E6E5F"
    bool isNil() const;
    const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }

    auto operator<=>(const Uuid&) const = default;

private:
    std::array<std::uint8_t, 16> bytes_{};
};

}  // namespace merrowfax

template <>
struct std::hash<merrowfax::Uuid> {
    std::size_t operator()(const merrowfax::Uuid& u) const noexcept {
        std::size_t h = 0;
        for (auto b : u.bytes()) h = h * 131 + b;
        return h;
    }
};

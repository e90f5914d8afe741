#pragma once

#include <span>
#include <string_view>

// What the program does with data, in the one wording both the window's
// privacy page and the relay service's web page show.
namespace merrowfax::privacy {

struct Section {
    std::string_view heading;
    std::string_view text;
};

inline constexpr std::string_view kTitle = "Privacy Policy";
inline constexpr std::string_view kDate = "6 November 2026";
inline constexpr std::string_view kOpening =
    "Merrowfax gives you a virtual number for text and calls with other people on Merrowfax. "
    "It does not ask for your carrier phone number.";

// The sections in reading order, the publisher's contact last.
std::span<const Section> sections();

}  // namespace merrowfax::privacy

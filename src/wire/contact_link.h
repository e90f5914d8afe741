#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace merrowfax::wire {

// What a contact link (a QR code's payload, or a link a browser opens)
// offers: "merrowfax://add?name=NAME&number=NUMBER", each value
// percent-encoded. The number is as written; whether it is one is the
// reader's to check.
struct ContactLink {
    std::string name;
    std::string number;
    bool operator==(const ContactLink&) const = default;
};

// Longer links are not read.
inline constexpr std::size_t kMaxContactLink = 2048;

// The link's name and number; nothing for another scheme or host, a bad
// percent escape, a name that is not UTF-8, or no number.
std::optional<ContactLink> parseContactLink(std::string_view link);

}  // namespace merrowfax::wire

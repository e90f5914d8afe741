#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Parsing of request targets: the only way outside text enters the service
// before a connection exists, so every rule here is strict.
namespace merrowfax::relay {

struct QueryItem {
    std::string name;
    std::string value;
};

struct Target {
    std::string path;
    std::vector<QueryItem> items;

    // The first item of that name.
    const std::string* find(std::string_view name) const;
};

// Splits "path?a=1&b=2" and percent-decodes names and values ('+' stays a
// plus). Absent on a bad escape, a NUL, invalid UTF-8, more than 32 items
// or a target longer than 8 KB.
std::optional<Target> parseTarget(std::string_view target);

// True when the text is valid UTF-8 without C0 controls or DEL.
bool isCleanText(std::string_view text);

// At most `count` code points of valid UTF-8 text, white space trimmed.
std::string clipText(std::string_view text, std::size_t count);

// The canonical number text, or absent when `text` is not exactly one.
std::optional<std::string> canonicalNumber(std::string_view text);

// The registration a WebSocket upgrade asks for.
struct Registration {
    std::string number;
    std::string name;      // at most 40 characters
    std::string device;    // "iPhone", "iPad", "Mac" or other short label
    std::string computer;  // secret: never logged
    std::string pin;       // empty or 4 digits
    std::string newPin;    // empty or 4 digits
    std::string kind;      // empty, "personal" or "business"
    std::string lanCert;   // empty or a LAN certificate's SHA-256, 64 lower-case hex
};

// Why the service refuses a registration it cannot read, in words for the
// person whose device sent it (the client shows them and stops retrying).
inline constexpr const char* kUnreadableReason =
    "The service could not read this registration. Update Merrowfax and try again.";
inline constexpr const char* kBadNumberReason =
    "That is not a full Merrowfax number, like 0-1-660-9141.";
inline constexpr const char* kBadComputerReason =
    "This computer did not identify itself. Update Merrowfax and try again.";
inline constexpr const char* kBadNameReason =
    "The name holds a control character. Choose a name of letters, digits and spaces.";
inline constexpr const char* kBadDeviceReason =
    "The device name holds a control character. Update Merrowfax and try again.";

// Absent when the number is not canonical, `computer` is missing or empty, or
// a value is not clean text; `refusal` then says which (one of the reasons
// above). A `pin`, `newpin`, `kind` or `lancert` that fails its form counts as
// absent, as the client never sends one.
std::optional<Registration> parseRegistration(const Target& target, std::string& refusal);
std::optional<Registration> parseRegistration(const Target& target);

bool isPin(std::string_view text);

}  // namespace merrowfax::relay

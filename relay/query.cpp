#include "relay/query.h"

#include <unicode/utf8.h>

#include "numbers/unicode_text.h"
#include "numbers/virtual_number.h"
#include "relay/fold.h"
#include "wire/number_statement.h"

namespace merrowfax::relay {
namespace {

constexpr std::size_t kMaxTarget = 8 * 1024;
constexpr std::size_t kMaxItems = 32;
constexpr std::size_t kMaxComputer = 200;
constexpr std::size_t kNameLength = 40;
constexpr std::size_t kDeviceLength = 24;

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isUtf8(std::string_view text) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto size = static_cast<int32_t>(text.size());
    for (int32_t i = 0; i < size;) {
        UChar32 c;
        U8_NEXT(bytes, i, size, c);
        if (c < 0) return false;
    }
    return true;
}

// Control characters other than NUL are left for the callers' own checks.
std::optional<std::string> percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size()) return std::nullopt;
            const int hi = hexValue(text[i + 1]);
            const int lo = hexValue(text[i + 2]);
            if (hi < 0 || lo < 0) return std::nullopt;
            c = static_cast<char>(hi * 16 + lo);
            i += 2;
        }
        if (c == '\0') return std::nullopt;
        out.push_back(c);
    }
    if (!isUtf8(out)) return std::nullopt;
    return out;
}

}  // namespace

const std::string* Target::find(std::string_view name) const {
    for (const auto& item : items)
        if (item.name == name) return &item.value;
    return nullptr;
}

bool isCleanText(std::string_view text) {
    if (text.size() > INT32_MAX) return false;
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto size = static_cast<int32_t>(text.size());
    for (int32_t i = 0; i < size;) {
        UChar32 c;
        U8_NEXT(bytes, i, size, c);
        if (c < 0 || c < 0x20 || c == 0x7f) return false;
    }
    return true;
}

std::string clipText(std::string_view text, std::size_t count) {
    text = unicode::trimmed(text);
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto size = static_cast<int32_t>(std::min<std::size_t>(text.size(), INT32_MAX));
    int32_t i = 0;
    for (std::size_t n = 0; n < count && i < size; ++n) {
        UChar32 c;
        U8_NEXT(bytes, i, size, c);
        if (c < 0) return std::string(text.substr(0, 0));
    }
    return std::string(unicode::trimmed(text.substr(0, static_cast<std::size_t>(i))));
}

std::optional<Target> parseTarget(std::string_view target) {
    if (target.size() > kMaxTarget) return std::nullopt;
    Target out;
    const auto question = target.find('?');
    const auto rawPath = target.substr(0, question);
    auto path = percentDecode(rawPath);
    if (!path) return std::nullopt;
    out.path = std::move(*path);
    if (question == std::string_view::npos) return out;
    std::string_view rest = target.substr(question + 1);
    while (!rest.empty()) {
        const auto amp = rest.find('&');
        const std::string_view pair = rest.substr(0, amp);
        rest = amp == std::string_view::npos ? std::string_view{} : rest.substr(amp + 1);
        if (pair.empty()) continue;
        if (out.items.size() == kMaxItems) return std::nullopt;
        const auto eq = pair.find('=');
        auto name = percentDecode(pair.substr(0, eq));
        auto value =
            percentDecode(eq == std::string_view::npos ? std::string_view{} : pair.substr(eq + 1));
        if (!name || !value) return std::nullopt;
        out.items.push_back({std::move(*name), std::move(*value)});
    }
    return out;
}

std::optional<std::string> canonicalNumber(std::string_view text) {
    if (text.empty() || text.size() > 32) return std::nullopt;
    const auto parsed = VirtualNumber::parse(text);
    if (!parsed) return std::nullopt;
    std::string canonical = parsed->text();
    if (canonical != text) return std::nullopt;
    return canonical;
}

bool isPin(std::string_view text) {
    if (text.size() != 4) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

std::optional<Registration> parseRegistration(const Target& target, std::string& refusal) {
    auto refuse = [&](const char* reason) -> std::optional<Registration> {
        refusal = reason;
        return std::nullopt;
    };
    Registration r;
    const std::string* number = target.find("number");
    const std::string* computer = target.find("computer");
    if (!number) return refuse(kBadNumberReason);
    auto canonical = canonicalNumber(*number);
    if (!canonical) return refuse(kBadNumberReason);
    r.number = std::move(*canonical);
    if (!computer || computer->empty() || computer->size() > kMaxComputer ||
        !isCleanText(*computer))
        return refuse(kBadComputerReason);
    r.computer = *computer;
    if (const auto* name = target.find("name")) {
        if (!isCleanText(*name)) return refuse(kBadNameReason);
        r.name = clipText(unicode::withoutInvisible(*name), kNameLength);
    }
    if (const auto* device = target.find("device")) {
        if (!isCleanText(*device)) return refuse(kBadDeviceReason);
        r.device = clipText(*device, kDeviceLength);
    }
    if (const auto* pin = target.find("pin"); pin && isPin(*pin)) r.pin = *pin;
    if (const auto* pin = target.find("newpin"); pin && isPin(*pin)) r.newPin = *pin;
    if (const auto* kind = target.find("kind");
        kind && (*kind == "personal" || *kind == "business"))
        r.kind = *kind;
    if (const auto* cert = target.find("lancert"); cert && wire::isCertFingerprint(*cert))
        r.lanCert = *cert;
    return r;
}

std::optional<Registration> parseRegistration(const Target& target) {
    std::string ignored;
    return parseRegistration(target, ignored);
}

}  // namespace merrowfax::relay

#include "wire/contact_link.h"

#include <cctype>

#include "base/utf8.h"

namespace merrowfax::wire {
namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::string> percentDecoded(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        const int high = hexValue(text[i + 1]), low = hexValue(text[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    if (!isValidUtf8(out)) return std::nullopt;
    return out;
}

}  // namespace

std::optional<ContactLink> parseContactLink(std::string_view link) {
    if (link.size() > kMaxContactLink) return std::nullopt;
    constexpr std::string_view kScheme = "merrowfax:";
    if (link.size() < kScheme.size() ||
        !equalsIgnoringCase(link.substr(0, kScheme.size()), kScheme))
        return std::nullopt;
    std::string_view rest = link.substr(kScheme.size());
    if (rest.starts_with("//")) rest.remove_prefix(2);
    const auto query = rest.find('?');
    if (query == std::string_view::npos || !equalsIgnoringCase(rest.substr(0, query), "add"))
        return std::nullopt;
    rest = rest.substr(query + 1);
    if (const auto fragment = rest.find('#'); fragment != std::string_view::npos)
        rest = rest.substr(0, fragment);

    std::optional<std::string> name, number;
    while (!rest.empty()) {
        const auto end = rest.find('&');
        const std::string_view item = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        const auto equals = item.find('=');
        const std::string_view key = item.substr(0, equals);
        auto value = percentDecoded(equals == std::string_view::npos ? std::string_view()
                                                                     : item.substr(equals + 1));
        if (!value) return std::nullopt;
        // The first of each counts.
        if (key == "name" && !name) name = std::move(value);
        if (key == "number" && !number) number = std::move(value);
    }
    if (!number || number->empty()) return std::nullopt;
    return ContactLink{name.value_or(std::string()), *number};
}

}  // namespace merrowfax::wire

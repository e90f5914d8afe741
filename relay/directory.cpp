#include "relay/directory.h"

#include <sodium.h>

#include "relay/fold.h"
#include "relay/json.h"

namespace merrowfax::relay {
namespace {

constexpr std::size_t kQueryLength = 40;
constexpr std::size_t kMaxCursor = 1024;

// A search that reads as a number: digits, perhaps with dashes, blanks, a
// leading plus or parentheses. Fills the prefix to match and whether it is
// bare digits (matched against the digits of the number) or dashed text.
bool numberPrefix(std::string_view q, std::string& prefix, bool& digitsOnly) {
    std::string digits;
    bool dashed = false;
    for (char c : q) {
        if (c >= '0' && c <= '9') {
            digits.push_back(c);
        } else if (c == '-') {
            dashed = true;
        } else if (c != ' ' && c != '+' && c != '(' && c != ')') {
            return false;
        }
    }
    if (digits.empty()) return false;
    digitsOnly = !dashed;
    if (digitsOnly) {
        prefix = digits;
    } else {
        prefix.clear();
        for (char c : q)
            if ((c >= '0' && c <= '9') || c == '-') prefix.push_back(c);
    }
    return true;
}

}  // namespace

std::string Directory::encodeCursor(const DirectoryCursor& cursor) {
    const std::string raw = cursor.nameKey + '\n' + cursor.number;
    std::string out(sodium_base64_encoded_len(raw.size(), sodium_base64_VARIANT_URLSAFE_NO_PADDING),
                    '\0');
    sodium_bin2base64(out.data(), out.size(), reinterpret_cast<const unsigned char*>(raw.data()),
                      raw.size(), sodium_base64_VARIANT_URLSAFE_NO_PADDING);
    out.resize(out.size() - 1);  // the terminating NUL
    return out;
}

std::optional<DirectoryCursor> Directory::decodeCursor(std::string_view text) {
    if (text.size() > kMaxCursor) return std::nullopt;
    std::string raw(text.size(), '\0');
    std::size_t length = 0;
    if (sodium_base642bin(reinterpret_cast<unsigned char*>(raw.data()), raw.size(), text.data(),
                          text.size(), nullptr, &length, nullptr,
                          sodium_base64_VARIANT_URLSAFE_NO_PADDING) != 0)
        return std::nullopt;
    raw.resize(length);
    const auto newline = raw.rfind('\n');
    if (newline == std::string::npos) return std::nullopt;
    DirectoryCursor cursor{raw.substr(0, newline), raw.substr(newline + 1)};
    if (!isCleanText(cursor.nameKey) || !canonicalNumber(cursor.number)) return std::nullopt;
    return cursor;
}

std::optional<std::string> Directory::page(const Target& target) {
    const std::string* letter = target.find("letter");
    const std::string* q = target.find("q");
    const std::string* after = target.find("after");
    DirectoryQuery query;
    query.limit = pageSize_ + 1;  // one more tells whether a page follows
    if (after && !after->empty()) {
        query.after = decodeCursor(*after);
        if (!query.after) return std::nullopt;
    }
    const std::string search = q && isCleanText(*q) ? clipText(*q, kQueryLength) : std::string();
    if (q && !isCleanText(*q)) return std::nullopt;
    if (!search.empty()) {
        query.namePrefix = foldName(search);
        numberPrefix(search, query.numberPrefix, query.digitsOnly);
    } else if (letter) {
        std::string l = *letter;
        if (l.size() == 1 && l[0] >= 'a' && l[0] <= 'z') l[0] = static_cast<char>(l[0] - 32);
        if (l != "#" && !(l.size() == 1 && l[0] >= 'A' && l[0] <= 'Z')) return std::nullopt;
        query.letter = l;
    } else if (!q) {
        return std::nullopt;
    }
    std::vector<DirectoryRow> rows;
    if (!query.letter.empty() || !query.namePrefix.empty() || !query.numberPrefix.empty())
        rows = store_.directory(query);
    const bool more = rows.size() > pageSize_;
    if (more) rows.resize(pageSize_);
    std::vector<json::PageRow> out;
    out.reserve(rows.size());
    for (const auto& r : rows) out.push_back({r.number, r.name, r.business});
    const std::string next =
        rows.empty() ? std::string() : encodeCursor({rows.back().nameKey, rows.back().number});
    return json::page(out, more, next);
}

}  // namespace merrowfax::relay

#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

// Locale-aware, case-insensitive text comparison for names typed by people
// (ICU collation at secondary strength: "é" and "e" differ, "É" and "é" do not).
namespace merrowfax::unicode {

// <0, 0, >0 like strcmp, in the current locale, ignoring case.
int compareCaseInsensitive(std::string_view a, std::string_view b);

// Finds one query in many texts; build once per query, not thread-safe.
class ContainsMatcher {
public:
    explicit ContainsMatcher(std::string_view query);
    ~ContainsMatcher();
    ContainsMatcher(const ContainsMatcher&) = delete;
    ContainsMatcher& operator=(const ContainsMatcher&) = delete;

    bool matches(std::string_view text);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The first `limit` characters of `text`, counting what a reader sees as one
// character (a grapheme cluster: e + combining accent, a flag, an emoji with
// skin tone), so a cut never splits one.
std::string prefixCharacters(std::string_view text, std::size_t limit);

// Removes white space and line breaks (Unicode White_Space) from both ends.
std::string_view trimmed(std::string_view text);

// The text without invisible formatting characters (general category Cf:
// bidirectional embeddings, overrides and isolates, zero-width spaces, the
// byte order mark, tag characters, ...), so a name cannot reorder or hide what
// is shown beside it. A zero-width joiner between two pictographs stays: it
// builds one emoji out of several. Ill-formed UTF-8 sequences are dropped.
std::string withoutInvisible(std::string_view text);

// A person's name as this program keeps, shows and sends it: without
// invisible formatting (category Cf: bidirectional embeddings, overrides and
// isolates, zero-width characters, the byte order mark; see withoutInvisible) and control
// characters, which could make a name read as another number or hide part of
// it; then trimmed and cut to its first `limit` characters. Ill-formed UTF-8
// sequences are dropped too. Empty when nothing visible is left.
std::string cleanName(std::string_view text, std::size_t limit);

}  // namespace merrowfax::unicode

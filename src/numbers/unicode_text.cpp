#include "numbers/unicode_text.h"

#include <unicode/brkiter.h>
#include <unicode/coll.h>
#include <unicode/stsearch.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

namespace merrowfax::unicode {
namespace {

icu::UnicodeString fromUtf8(std::string_view text) {
    return icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

// The user's locale for collation. The POSIX locale (LANG unset or C) tailors
// upper and lower case into different letters, which would make every
// comparison case-sensitive, so it falls back to the root order.
icu::Locale collationLocale() {
    const icu::Locale& locale = icu::Locale::getDefault();
    if (std::string_view(locale.getVariant()) == "POSIX") return icu::Locale::getRoot();
    return locale;
}

// One collator per thread: ICU collators are not safe for concurrent use.
icu::Collator* threadCollator() {
    thread_local std::unique_ptr<icu::Collator> collator = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::Collator> c(icu::Collator::createInstance(collationLocale(), status));
        if (U_FAILURE(status) || !c) {
            status = U_ZERO_ERROR;
            c.reset(icu::Collator::createInstance(icu::Locale::getRoot(), status));
        }
        if (c) c->setStrength(icu::Collator::SECONDARY);
        return c;
    }();
    return collator.get();
}

}  // namespace

int compareCaseInsensitive(std::string_view a, std::string_view b) {
    icu::Collator* collator = threadCollator();
    if (!collator) return a.compare(b);
    UErrorCode status = U_ZERO_ERROR;
    auto result = collator->compare(fromUtf8(a), fromUtf8(b), status);
    if (U_FAILURE(status)) return a.compare(b);
    return result == UCOL_LESS ? -1 : result == UCOL_GREATER ? 1 : 0;
}

struct ContainsMatcher::Impl {
    icu::UnicodeString pattern;
    std::unique_ptr<icu::RuleBasedCollator> collator;
};

ContainsMatcher::ContainsMatcher(std::string_view query) : impl_(std::make_unique<Impl>()) {
    impl_->pattern = fromUtf8(query);
    if (auto* base = dynamic_cast<icu::RuleBasedCollator*>(threadCollator())) {
        impl_->collator.reset(base->clone());
    }
}

ContainsMatcher::~ContainsMatcher() = default;

bool ContainsMatcher::matches(std::string_view text) {
    if (impl_->pattern.isEmpty()) return true;
    icu::UnicodeString target = fromUtf8(text);
    if (!impl_->collator) {
        return target.foldCase().indexOf(icu::UnicodeString(impl_->pattern).foldCase()) >= 0;
    }
    UErrorCode status = U_ZERO_ERROR;
    icu::StringSearch search(impl_->pattern, target, impl_->collator.get(), nullptr, status);
    if (U_FAILURE(status)) return false;
    int32_t at = search.first(status);
    return U_SUCCESS(status) && at != USEARCH_DONE;
}

std::string prefixCharacters(std::string_view text, std::size_t limit) {
    // Every character takes at least one byte.
    if (text.size() <= limit) return std::string(text);
    const icu::UnicodeString unicode = fromUtf8(text);
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> characters(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    std::string out;
    if (U_FAILURE(status) || !characters) {
        unicode.tempSubString(0, static_cast<int32_t>(std::min<std::size_t>(limit, INT32_MAX)))
            .toUTF8String(out);
        return out;
    }
    characters->setText(unicode);
    int32_t end = characters->first();
    for (std::size_t count = 0; count < limit; ++count) {
        const int32_t next = characters->next();
        if (next == icu::BreakIterator::DONE) break;
        end = next;
    }
    unicode.tempSubString(0, end).toUTF8String(out);
    return out;
}

std::string_view trimmed(std::string_view text) {
    auto codePointAt = [&](int32_t& i) {
        UChar32 c;
        U8_NEXT(reinterpret_cast<const uint8_t*>(text.data()), i, static_cast<int32_t>(text.size()),
                c);
        return c;
    };
    int32_t begin = 0;
    const auto size = static_cast<int32_t>(text.size());
    while (begin < size) {
        int32_t next = begin;
        UChar32 c = codePointAt(next);
        if (c < 0 || !u_isUWhiteSpace(c)) break;
        begin = next;
    }
    int32_t end = size;
    while (end > begin) {
        int32_t prev = end;
        UChar32 c;
        U8_PREV(reinterpret_cast<const uint8_t*>(text.data()), begin, prev, c);
        if (c < 0 || !u_isUWhiteSpace(c)) break;
        end = prev;
    }
    return text.substr(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin));
}

std::string withoutInvisible(std::string_view text) {
    constexpr UChar32 kJoiner = 0x200D;
    auto pictograph = [](UChar32 c) {
        return u_hasBinaryProperty(c, UCHAR_EXTENDED_PICTOGRAPHIC) ||
               u_hasBinaryProperty(c, UCHAR_EMOJI_MODIFIER) || c == 0xFE0F;
    };
    std::string out;
    out.reserve(text.size());
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    UChar32 kept = U_SENTINEL;  // the last code point written
    for (int32_t i = 0; i < length;) {
        const int32_t start = i;
        UChar32 c = 0;
        U8_NEXT(bytes, i, length, c);
        if (c < 0) continue;  // not UTF-8: dropped
        if (u_charType(c) == U_FORMAT_CHAR) {
            UChar32 next = U_SENTINEL;
            if (i < length) {
                int32_t j = i;
                U8_NEXT(bytes, j, length, next);
            }
            const bool joinsEmoji = c == kJoiner && kept >= 0 && pictograph(kept) && next >= 0 &&
                                    u_hasBinaryProperty(next, UCHAR_EXTENDED_PICTOGRAPHIC);
            if (!joinsEmoji) continue;
        }
        out.append(
            text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(i - start)));
        kept = c;
    }
    return out;
}

std::string cleanName(std::string_view text, std::size_t limit) {
    std::string visible;
    visible.reserve(text.size());
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto size = static_cast<int32_t>(text.size());
    for (int32_t i = 0; i < size;) {
        const int32_t start = i;
        UChar32 c;
        U8_NEXT(bytes, i, size, c);
        if (c < 0 || u_charType(c) == U_CONTROL_CHAR) continue;
        visible.append(
            text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(i - start)));
    }
    return prefixCharacters(trimmed(withoutInvisible(visible)), limit);
}

}  // namespace merrowfax::unicode

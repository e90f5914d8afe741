#include "relay/fold.h"

#include <memory>
#include <mutex>

#include <unicode/translit.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

namespace merrowfax::relay {
namespace {

std::unique_ptr<icu::Transliterator> makeFolder() {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Transliterator> t(icu::Transliterator::createInstance(
        "NFD; [:Nonspacing Mark:] Remove; NFC; Latin-ASCII", UTRANS_FORWARD, status));
    if (U_FAILURE(status)) {
        status = U_ZERO_ERROR;  // older data without Latin-ASCII: accents only
        t.reset(icu::Transliterator::createInstance("NFD; [:Nonspacing Mark:] Remove; NFC",
                                                    UTRANS_FORWARD, status));
    }
    if (U_FAILURE(status)) t.reset();
    return t;
}

// Building a transliterator parses rules; keep one per thread.
icu::Transliterator* folder() {
    thread_local std::unique_ptr<icu::Transliterator> instance = makeFolder();
    return instance.get();
}

}  // namespace

std::string foldName(std::string_view name) {
    icu::UnicodeString text = icu::UnicodeString::fromUTF8(
        icu::StringPiece(name.data(), static_cast<int32_t>(name.size())));
    if (auto* t = folder()) t->transliterate(text);
    text.foldCase();
    std::string out;
    text.toUTF8String(out);
    return out;
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

std::string indexLetter(std::string_view foldedKey) {
    if (!foldedKey.empty() && foldedKey[0] >= 'a' && foldedKey[0] <= 'z')
        return std::string(1, static_cast<char>(foldedKey[0] - 'a' + 'A'));
    return "#";
}

}  // namespace merrowfax::relay

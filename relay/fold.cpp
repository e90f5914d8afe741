#include "relay/fold.h"

#include <memory>
#include <mutex>

#include <unicode/translit.h>
#include <unicode/unistr.h>

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

std::string indexLetter(std::string_view foldedKey) {
    if (!foldedKey.empty() && foldedKey[0] >= 'a' && foldedKey[0] <= 'z')
        return std::string(1, static_cast<char>(foldedKey[0] - 'a' + 'A'));
    return "#";
}

}  // namespace merrowfax::relay

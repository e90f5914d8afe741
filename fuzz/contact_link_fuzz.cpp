// The contact link on arbitrary text (it comes from QR codes and browsers).
// Besides not crashing: what is read has a number and a UTF-8 name, and
// written again the way the app writes its own link, reads back the same.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/utf8.h"
#include "wire/contact_link.h"

namespace {

using namespace merrowfax::wire;

std::string encoded(std::string_view value) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : value) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out.push_back(static_cast<char>(c));
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto link = parseContactLink(text);
    if (!link) return 0;
    if (link->number.empty() || !merrowfax::isValidUtf8(link->name)) std::abort();
    const std::string again =
        "merrowfax://add?name=" + encoded(link->name) + "&number=" + encoded(link->number);
    if (again.size() <= kMaxContactLink && parseContactLink(again) != link) std::abort();
    return 0;
}

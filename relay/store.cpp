#include "relay/store.h"

#include <algorithm>
#include <iterator>
#include <tuple>

namespace merrowfax::relay::paging {

std::string digitsOf(const std::string& number) {
    std::string out;
    for (char c : number)
        if (c >= '0' && c <= '9') out.push_back(c);
    return out;
}

std::string prefixEnd(const std::string& prefix) {
    return prefix + "\xF4\x8F\xBF\xBF";  // U+10FFFF, the last code point
}

std::vector<DirectoryRow> merged(std::vector<DirectoryRow> a, std::vector<DirectoryRow> b,
                                 std::size_t limit) {
    const auto before = [](const DirectoryRow& x, const DirectoryRow& y) {
        return std::tie(x.nameKey, x.number) < std::tie(y.nameKey, y.number);
    };
    std::vector<DirectoryRow> out;
    std::merge(std::make_move_iterator(a.begin()), std::make_move_iterator(a.end()),
               std::make_move_iterator(b.begin()), std::make_move_iterator(b.end()),
               std::back_inserter(out), before);
    out.erase(std::unique(out.begin(), out.end(),
                          [](const auto& x, const auto& y) { return x.number == y.number; }),
              out.end());
    if (out.size() > limit) out.resize(limit);
    return out;
}

}  // namespace merrowfax::relay::paging

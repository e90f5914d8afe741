#include "addressing.h"

#include <algorithm>
#include <cstdio>

namespace merrowfax::bench {

std::string numberFor(std::size_t index) {
    const std::size_t subscriber = 1'000'000 + index;
    char text[32];
    std::snprintf(text, sizeof text, "0-1-%03zu-%04zu", subscriber / 10'000, subscriber % 10'000);
    return text;
}

std::uint32_t loopbackSource(std::size_t index, std::size_t perSource) {
    const auto n = static_cast<std::uint32_t>(index / std::max<std::size_t>(1, perSource));
    std::uint32_t host = 0x7F000002u;
    for (std::uint32_t i = 0; i < n; ++i) {
        ++host;
        if ((host & 0xFF) == 255) host += 2;
    }
    return host;
}

}  // namespace merrowfax::bench

#pragma once

#include <charconv>
#include <cmath>

#include <rapidjson/rapidjson.h>

namespace merrowfax::json {

// Writes a double as the shortest text that reads back to the same value
// ("1", "0.5", "786297600.123456"), which RapidJSON's own Double() does not
// promise. Non-finite values have no JSON form and are written as 0.
template <typename Writer>
bool writeShortestDouble(Writer& writer, double value) {
    if (!std::isfinite(value)) value = 0;
    char text[32];
    auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    if (ec != std::errc{}) return false;
    return writer.RawValue(text, static_cast<rapidjson::SizeType>(end - text),
                           rapidjson::kNumberType);
}

}  // namespace merrowfax::json

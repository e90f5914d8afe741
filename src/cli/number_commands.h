#pragma once

#include <span>
#include <string_view>

namespace merrowfax::cli {

// `number parse TEXT`, `number issue COUNTRY CITY`.
int runNumberCommand(std::span<const std::string_view> args);
// `places countries [QUERY]`, `places cities COUNTRY [QUERY]`.
int runPlacesCommand(std::span<const std::string_view> args);

}  // namespace merrowfax::cli

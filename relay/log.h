#pragma once

#include <string_view>

namespace merrowfax::relay {

// One line to stderr, whole, with a UTC time stamp. Never give it a query
// string, a PIN or a computer id.
void logLine(std::string_view line);

}  // namespace merrowfax::relay

#pragma once

#include <string_view>

namespace merrowfax {

// The program's one diagnostic log (category "call", informational): at most
// one line a second for the whole program, from any thread; lines over the
// rate are dropped, so a media loop can log every frame without flooding.
void diagnosticLog(std::string_view line);

}  // namespace merrowfax

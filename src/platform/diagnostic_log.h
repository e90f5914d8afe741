#pragma once

#include <concepts>
#include <string_view>

namespace merrowfax {

// The program's one diagnostic log (category "call", informational): at most
// one line a second for the whole program, from any thread; lines over the
// rate are dropped, so a media loop can log every frame without flooding.
void diagnosticLog(std::string_view line);

// Takes the one line the log writes this second, without a lock; false when
// it is taken already.
bool claimDiagnosticLine();
// Writes a line claimed with claimDiagnosticLine().
void writeDiagnosticLine(std::string_view line);

// The same for a line that costs something to make: `format` runs only when
// the line is written, so a capture or playback thread formats nothing
// (and allocates nothing) for the lines the rate drops.
template <typename Format>
requires std::invocable<Format&>
void diagnosticLog(Format&& format) {
    if (claimDiagnosticLine()) writeDiagnosticLine(format());
}

}  // namespace merrowfax

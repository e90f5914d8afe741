#pragma once

#include <string>
#include <string_view>

// Folding of names for the directory: accents removed, Latin letters reduced
// to their base (É to e, Ø to o, ß to ss), case folded. Thread-safe.
namespace merrowfax::relay {

std::string foldName(std::string_view name);

// "A" to "Z" for a folded key that starts with a Latin letter, else "#".
std::string indexLetter(std::string_view foldedKey);

}  // namespace merrowfax::relay

#pragma once

#include <string>
#include <string_view>

// Folding of names for the directory: accents removed, Latin letters reduced
// to their base (É to e, Ø to o, ß to ss), case folded. Thread-safe.
namespace merrowfax::relay {

std::string foldName(std::string_view name);

// The text without invisible formatting characters (general category Cf:
// bidirectional embeddings, overrides and isolates, zero-width spaces, the
// byte order mark, ...), so a name cannot reorder or hide what is shown
// beside it. A zero-width joiner between two pictographs stays: it builds one
// emoji out of several. Expects valid UTF-8.
std::string withoutInvisible(std::string_view text);

// "A" to "Z" for a folded key that starts with a Latin letter, else "#".
std::string indexLetter(std::string_view foldedKey);

}  // namespace merrowfax::relay

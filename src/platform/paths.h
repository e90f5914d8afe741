#pragma once

#include <filesystem>

namespace merrowfax {

// $XDG_DATA_HOME/Merrowfax (~/.local/share/Merrowfax): db.json and Files/.
std::filesystem::path dataFolder();
// $XDG_CONFIG_HOME/Merrowfax (~/.config/Merrowfax): this computer's identities.
std::filesystem::path configFolder();

}  // namespace merrowfax

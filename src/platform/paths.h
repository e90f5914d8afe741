#pragma once

#include <filesystem>

namespace merrowfax {

// $XDG_DATA_HOME/Merrowfax (~/.local/share/Merrowfax): db.json and Files/.
std::filesystem::path dataFolder();

}  // namespace merrowfax

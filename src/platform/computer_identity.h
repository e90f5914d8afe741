#pragma once

#include <filesystem>
#include <string>

namespace merrowfax {

// This computer's identity for the relay service: "mac-" and a random
// upper-case UUID made once per user and kept in its own file, readable only
// by the user, in the config folder ($XDG_CONFIG_HOME/Merrowfax). It survives
// a lost database and is a secret: the service remembers an account by it.
std::string computerIdentity();

// The same with the file in `folder` (tests).
std::string computerIdentityIn(const std::filesystem::path& folder);

}  // namespace merrowfax

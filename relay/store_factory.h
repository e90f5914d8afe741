#pragma once

#include <memory>

#include "relay/config.h"
#include "relay/store.h"

namespace merrowfax::relay {

// PostgreSQL when the config names a database, else SQLite in the data
// folder (which must exist). Throws when the store cannot be opened or
// reached: the service does not start without its state.
std::unique_ptr<Store> makeStore(const Config& config);

}  // namespace merrowfax::relay

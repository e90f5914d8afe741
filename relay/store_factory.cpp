#include "relay/store_factory.h"

#include <algorithm>
#include <filesystem>

#include "relay/log.h"
#include "relay/postgres_store.h"
#include "relay/sqlite_store.h"

namespace merrowfax::relay {

std::unique_ptr<Store> makeStore(const Config& config) {
    if (config.postgres.empty())
        return std::make_unique<SqliteStore>(std::filesystem::path(config.dataDir) /
                                             "relay.sqlite");
    // Every thread that calls the store holds one connection at a time: the
    // storage pool's, the decisions' and the hashing threads; one spare.
    const auto threads = [](int n) {
        return static_cast<std::size_t>(std::max(1, n));
    };
    PostgresStore::Options options;
    options.connections = threads(config.storeThreads) + threads(config.decisionThreads) +
                          threads(config.hashThreads) + 1;
    options.timeout = config.storeTimeout;
    options.reconnectPause = config.storeReconnect;
    auto store = std::make_unique<PostgresStore>(config.postgres, options);
    logEvent(Level::info, "store_ready",
             {{"backend", "postgresql"}, {"schema", std::to_string(store->storedVersion())}});
    return store;
}

}  // namespace merrowfax::relay

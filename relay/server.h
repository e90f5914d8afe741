#pragma once

#include <memory>
#include <optional>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "relay/config.h"
#include "relay/directory.h"
#include "relay/limits.h"
#include "relay/memory_hub.h"
#include "relay/metrics.h"
#include "relay/registrar.h"
#include "relay/secrets.h"
#include "relay/services.h"
#include "relay/store.h"
#include "relay/work_pool.h"

namespace merrowfax::relay {

class Listener;

// The whole service: storage, registrar, hub and the I/O threads. Members are
// declared so that the I/O context goes first on destruction and everything
// its pending handlers reach is still there.
class Server {
public:
    explicit Server(Config config);
    ~Server();

    // Serves until SIGTERM or SIGINT; returns the exit status.
    int run();

private:
    void serve();  // one I/O thread
    void stop();
    void reload();  // SIGHUP

    Config config_;
    Metrics metrics_;
    std::unique_ptr<Store> store_;
    Secrets secrets_;
    Registrar registrar_;
    std::unique_ptr<MemoryHub> hub_;  // a NatsHub with --nats
    Directory directory_;
    AddressRates lookups_;
    AddressRates pages_;
    AddressCount addresses_;
    Tracker tracker_;
    WorkPool storeWork_;
    SendBudget sendBudget_;
    Services services_;
    boost::asio::io_context io_;
    std::shared_ptr<Listener> listener_;
    std::optional<boost::asio::steady_timer> grace_;  // bounds the drain
};

}  // namespace merrowfax::relay

#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "client.h"
#include "options.h"
#include "payload.h"

namespace merrowfax::bench {

// The clients of one run and the single thread that drives them: scenarios
// run the I/O loop through waitUntil() and every(), so sending, receiving
// and timing all happen on one thread with one clock.
class Load {
public:
    explicit Load(Options options);

    net::io_context io{1};
    Options options;
    std::vector<std::shared_ptr<Client>> conns;
    // Every stamped payload that reaches a client, with the clock reading
    // taken on arrival.
    std::function<void(Client&, const Stamp&, std::uint64_t)> onStamp;
    std::size_t closed = 0;
    std::size_t writeBufferBytes = 0;  // each client's WebSocket write buffer when set

    // Where client `index` connects: with a second node, partners (whose
    // indexes differ in the lowest bit) are on different nodes.
    const tcp::endpoint& server(std::size_t index) const {
        return options.port2 && index % 2 ? server2_ : server_;
    }

    // Creates clients up to `to` (not opened), of the kind the server wants.
    void create(std::size_t to);
    // Opens clients [from, to) and waits until each is registered; false
    // when any failed or the time ran out.
    bool connect(std::size_t from, std::size_t to, std::chrono::seconds timeout);
    // Runs handlers until `done` or the timeout; false on timeout.
    bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
    // Calls `tick` every period (a timer, so wake-ups are sub-millisecond)
    // until it returns false.
    void every(std::chrono::microseconds period, const std::function<bool()>& tick);

private:
    net::executor_work_guard<net::io_context::executor_type> work_;
    tcp::endpoint server_;
    tcp::endpoint server2_;
};

}  // namespace merrowfax::bench

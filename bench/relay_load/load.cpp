#include "load.h"

#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/steady_timer.hpp>

#include "addressing.h"
#include "nats_client.h"
#include "relay_client.h"
#include "report.h"

namespace merrowfax::bench {

using namespace std::chrono_literals;

Load::Load(Options o)
    : options(std::move(o)),
      work_(net::make_work_guard(io)),
      server_(net::ip::make_address(options.host), options.port),
      server2_(net::ip::make_address(options.host), options.port2) {}

void Load::create(std::size_t to) {
    for (std::size_t i = conns.size(); i < to; ++i) {
        if (options.server == Server::ours) {
            conns.push_back(std::make_shared<RelayClient>(*this, i));
        } else {
            conns.push_back(std::make_shared<NatsClient>(*this, i));
        }
    }
}

bool Load::connect(std::size_t from, std::size_t to, std::chrono::seconds timeout) {
    create(to);
    std::size_t next = from, done = 0, failed = 0, flying = 0;
    std::function<void()> launch = [&] {
        while (flying < options.concurrency && next < to) {
            auto& c = conns[next++];
            ++flying;
            const net::ip::address_v4 source(loopbackSource(c->index, options.perSource));
            c->open(source, [&](bool ok) {
                --flying;
                ++done;
                if (!ok) ++failed;
                launch();
            });
        }
    };
    launch();
    const bool inTime = waitUntil([&] { return done == to - from; }, timeout);
    if (!inTime) note("registration timed out");
    if (failed) note(std::to_string(failed) + " registrations failed");
    return inTime && failed == 0;
}

bool Load::waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        io.run_one_for(5ms);
    }
    return true;
}

void Load::every(std::chrono::microseconds period, const std::function<bool()>& tick) {
    net::steady_timer timer(io);
    bool done = false;
    auto when = std::chrono::steady_clock::now();
    std::function<void()> arm = [&] {
        when += period;
        timer.expires_at(when);
        timer.async_wait([&](beast::error_code) {
            if (!tick()) {
                done = true;
                return;
            }
            arm();
        });
    };
    if (!tick()) return;
    arm();
    while (!done) io.run_one();
}

}  // namespace merrowfax::bench

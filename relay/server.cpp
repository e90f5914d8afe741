#include "relay/server.h"

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <thread>

#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include "relay/listener.h"
#include "relay/log.h"

namespace merrowfax::relay {
namespace net = boost::asio;
namespace fs = std::filesystem;

namespace {

Config prepared(Config config) {
    fs::create_directories(config.dataDir);
    ::chmod(config.dataDir.c_str(), 0700);
    if (config.secretFile.empty())
        config.secretFile = (fs::path(config.dataDir) / "server.key").string();
    return config;
}

// Polls until every connection is gone or the grace time is over.
void drain(net::io_context& io, Tracker& tracker, Clock::time_point deadline) {
    auto timer = std::make_shared<net::steady_timer>(io, std::chrono::milliseconds(10));
    timer->async_wait([&io, &tracker, deadline, timer](boost::system::error_code) {
        if (tracker.size() == 0 || Clock::now() >= deadline) return io.stop();
        drain(io, tracker, deadline);
    });
}

}  // namespace

std::uint64_t Tracker::add(std::weak_ptr<Closable> item) {
    std::lock_guard guard(lock_);
    const auto id = next_++;
    items_.emplace(id, std::move(item));
    return id;
}

void Tracker::remove(std::uint64_t id) {
    std::lock_guard guard(lock_);
    items_.erase(id);
}

std::size_t Tracker::size() {
    std::lock_guard guard(lock_);
    return items_.size();
}

void Tracker::shutdownAll() {
    std::vector<std::shared_ptr<Closable>> live;
    {
        std::lock_guard guard(lock_);
        for (auto& [id, item] : items_)
            if (auto p = item.lock()) live.push_back(std::move(p));
    }
    for (auto& p : live) p->shutdown();
}

Server::Server(Config config)
    : config_(prepared(std::move(config))),
      store_(fs::path(config_.dataDir) / "relay.sqlite"),
      secrets_(config_.secretFile, config_.fastHash),
      registrar_(store_, secrets_, config_),
      hub_(config_.maxPerNumber, config_.maxExchanged),
      directory_(store_, config_.pageSize),
      lookups_(config_.lookupsPerMinute / 60.0, config_.lookupsPerMinute),
      pages_(10.0, 60.0),
      addresses_(config_.maxPerAddress),
      storeWork_(static_cast<std::size_t>(std::max(1, config_.storeThreads)), config_.storeQueue),
      sendBudget_(config_.sendBudgetBytes, config_.addressSendBudgetBytes),
      services_{config_, store_,   hub_,       registrar_,  directory_, lookups_,
                pages_,  tracker_, storeWork_, sendBudget_, secrets_},
      io_(config_.threads) {
    registrar_.onRevoke([this](const Revocation& revocation) {
        hub_.closeComputers(revocation.number, revocation.computers, revocation.allBut);
    });
    if (!config_.tlsCert.empty()) {
        tls_.emplace(net::ssl::context::tls_server);
        tls_->set_options(net::ssl::context::default_workarounds | net::ssl::context::no_sslv2 |
                          net::ssl::context::no_sslv3 | net::ssl::context::no_tlsv1 |
                          net::ssl::context::no_tlsv1_1);
        tls_->use_certificate_chain_file(config_.tlsCert);
        tls_->use_private_key_file(config_.tlsKey, net::ssl::context::pem);
    }
    const net::ip::tcp::endpoint endpoint(net::ip::make_address(config_.host), config_.port);
    listener_ =
        std::make_shared<Listener>(io_, tls_ ? &*tls_ : nullptr, endpoint, services_, addresses_);
}

Server::~Server() = default;

int Server::run() {
    const auto local = listener_->local();
    const std::string where = local.address().to_string() + ":" + std::to_string(local.port());
    std::printf("listening on %s\n", where.c_str());
    std::fflush(stdout);
    logLine(std::string("listening on ") + where + (tls_ ? " (tls)" : ""));
    listener_->run();

    net::signal_set signals(io_, SIGINT, SIGTERM);
    signals.async_wait([this](boost::system::error_code ec, int) {
        if (!ec) stop();
    });

    std::vector<std::thread> threads;
    for (int i = 1; i < config_.threads; ++i) threads.emplace_back([this] { serve(); });
    serve();
    for (auto& t : threads) t.join();
    registrar_.stop();
    storeWork_.stop();
    logLine("stopped");
    return 0;
}

void Server::serve() {
    // A handler that throws (out of memory while serving one peer) loses its
    // connection, never the thread or the process.
    for (;;) {
        try {
            io_.run();
            return;
        } catch (const std::exception& e) {
            logLine(std::string("handler failed: ") + e.what());
        } catch (...) {
            logLine("handler failed");
        }
    }
}

void Server::stop() {
    logLine("shutting down");
    listener_->stop();
    tracker_.shutdownAll();
    drain(io_, tracker_, Clock::now() + config_.shutdownGrace);
}

}  // namespace merrowfax::relay

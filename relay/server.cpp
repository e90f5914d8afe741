#include "relay/server.h"

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <thread>

#include <boost/asio/signal_set.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "relay/listener.h"
#include "relay/log.h"
#include "relay/nats_hub.h"
#include "relay/store_factory.h"

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

// A TLS context from the files; throws (with OpenSSL's reason) when either
// does not load or the key does not match the certificate.
std::shared_ptr<net::ssl::context> loadTls(const Config& config) {
    auto tls = std::make_shared<net::ssl::context>(net::ssl::context::tls_server);
    tls->set_options(net::ssl::context::default_workarounds | net::ssl::context::no_sslv2 |
                     net::ssl::context::no_sslv3 | net::ssl::context::no_tlsv1 |
                     net::ssl::context::no_tlsv1_1);
    tls->use_certificate_chain_file(config.tlsCert);
    tls->use_private_key_file(config.tlsKey, net::ssl::context::pem);
    if (SSL_CTX_check_private_key(tls->native_handle()) != 1)
        throw std::runtime_error("the TLS key does not match the certificate");
    return tls;
}

// This node alone, or one node of a cluster over NATS.
std::unique_ptr<MemoryHub> makeHub(const Config& config, Metrics& metrics) {
    if (config.natsUrl.empty())
        return std::make_unique<MemoryHub>(config.maxPerNumber, config.maxExchanged);
    return std::make_unique<NatsHub>(config, metrics);
}

}  // namespace

std::uint64_t Tracker::add(std::weak_ptr<Closable> item) {
    std::lock_guard guard(lock_);
    const auto id = next_++;
    items_.emplace(id, std::move(item));
    return id;
}

void Tracker::remove(std::uint64_t id) {
    std::function<void()> callback;
    {
        std::lock_guard guard(lock_);
        items_.erase(id);
        if (items_.empty()) callback = whenEmpty_;
    }
    if (callback) callback();
}

void Tracker::whenEmpty(std::function<void()> callback) {
    {
        std::lock_guard guard(lock_);
        whenEmpty_ = std::move(callback);
        if (!items_.empty() || !whenEmpty_) return;
        callback = whenEmpty_;
    }
    callback();
}

std::size_t Tracker::size() {
    std::lock_guard guard(lock_);
    return items_.size();
}

std::vector<std::shared_ptr<Closable>> Tracker::live() {
    std::vector<std::shared_ptr<Closable>> out;
    std::lock_guard guard(lock_);
    for (auto& [id, item] : items_)
        if (auto p = item.lock()) out.push_back(std::move(p));
    return out;
}

// Outside the lock: dropping the last reference to a session removes it.
void Tracker::shutdownAll() {
    for (auto& p : live()) p->shutdown();
}

void Tracker::abortAll() {
    for (auto& p : live()) p->abort();
}

Server::Server(Config config)
    : config_(prepared(std::move(config))),
      store_(makeStore(config_)),
      secrets_(config_.secretFile, config_.fastHash),
      registrar_(*store_, secrets_, config_, metrics_),
      hub_(makeHub(config_, metrics_)),
      directory_(*store_, config_.pageSize),
      lookups_(config_.lookupsPerMinute / 60.0, config_.lookupsPerMinute),
      pages_(10.0, 60.0),
      addresses_(config_.maxPerAddress),
      storeWork_(static_cast<std::size_t>(std::max(1, config_.storeThreads)), config_.storeQueue,
                 &metrics_),
      sendBudget_(config_.sendBudgetBytes, config_.addressSendBudgetBytes),
      services_{config_, *store_,  *hub_,      registrar_,  directory_, lookups_,
                pages_,  tracker_, storeWork_, sendBudget_, secrets_,   metrics_},
      io_(config_.threads) {
    registrar_.onRevoke([this](const Revocation& revocation) {
        hub_->closeComputers(revocation.number, revocation.computers, revocation.allBut);
    });
    const net::ip::tcp::endpoint endpoint(net::ip::make_address(config_.host), config_.port);
    listener_ = std::make_shared<Listener>(
        io_, config_.tlsCert.empty() ? nullptr : loadTls(config_), endpoint, services_, addresses_);
}

Server::~Server() = default;

int Server::run() {
    // Before the first line on stdout: whoever waits for it may signal at once.
    net::signal_set stops(io_, SIGINT, SIGTERM);
    stops.async_wait([this](boost::system::error_code ec, int) {
        if (!ec) stop();
    });
    net::signal_set hangups(io_, SIGHUP);
    std::function<void()> awaitHangup = [&] {
        hangups.async_wait([&](boost::system::error_code ec, int) {
            if (ec || services_.draining) return;
            reload();
            awaitHangup();
        });
    };
    awaitHangup();

    const auto local = listener_->local();
    const std::string where = local.address().to_string() + ":" + std::to_string(local.port());
    std::printf("listening on %s\n", where.c_str());
    std::fflush(stdout);
    logEvent(Level::info, "listening",
             {{"addr", where}, {"tls", config_.tlsCert.empty() ? "false" : "true"}});
    listener_->run();

    std::vector<std::thread> threads;
    for (int i = 1; i < config_.threads; ++i) threads.emplace_back([this] { serve(); });
    serve();
    for (auto& t : threads) t.join();
    tracker_.whenEmpty(nullptr);  // sessions destroyed with the I/O context call it no more
    // Decisions under way finish and store their outcome (a lock count, a PIN
    // hash); so do the storage jobs queued, among them the books and
    // last-seen times of the connections that closed.
    registrar_.stop();
    storeWork_.stop();
    logEvent(Level::info, "stopped");
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
            logEvent(Level::error, "handler_failed", {{"error", e.what()}});
        } catch (...) {
            logEvent(Level::error, "handler_failed");
        }
    }
}

// Stops accepting and asks every live connection to go (1001). The I/O
// threads end once the last has closed; a peer that never answers its close
// is cut after the grace, which still hands what its connection held to the
// store, and after a second grace nothing more is waited for.
void Server::stop() {
    if (services_.draining.exchange(true)) return;
    logEvent(Level::info, "draining", {{"live", std::to_string(tracker_.size())}});
    listener_->stop();
    tracker_.shutdownAll();
    grace_.emplace(io_, config_.shutdownGrace);
    grace_->async_wait([this](boost::system::error_code ec) {
        if (ec) return;
        logEvent(Level::warning, "drain_overdue", {{"live", std::to_string(tracker_.size())}});
        tracker_.abortAll();
        grace_->expires_after(config_.shutdownGrace);
        grace_->async_wait([this](boost::system::error_code again) {
            if (!again) io_.stop();
        });
    });
    tracker_.whenEmpty([this] { io_.stop(); });
}

void Server::reload() {
    std::string error;
    if (!reopenLog(error)) {
        logEvent(Level::error, "log_reopen_failed", {{"error", error}});
    } else if (!config_.logFile.empty()) {
        logEvent(Level::info, "log_reopened");
    }
    if (config_.tlsCert.empty()) return;
    try {
        listener_->tls(loadTls(config_));
        logEvent(Level::info, "tls_reloaded");
    } catch (const std::exception& e) {
        logEvent(Level::error, "tls_reload_failed", {{"error", e.what()}});
    }
}

}  // namespace merrowfax::relay

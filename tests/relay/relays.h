#pragma once
// The relay as a single node or as a cluster of two nodes over a private
// nats-server and one PostgreSQL database, with one server key; a case places its clients on the
// nodes in turn, so in the cluster every second client is on the other node.

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "relay_fixture.h"
#include "support/child_process.h"
#include "support/nats_server.h"
#include "support/postgres_server.h"

namespace merrowfax::testing {

enum class Backend { single, cluster };

inline std::string backendName(const ::testing::TestParamInfo<Backend>& info) {
    return info.param == Backend::single ? "Single" : "Cluster";
}

// Durations the cluster tests run with: a node is given up on within a
// second, and a record no other node took answers "miss" within half one.
inline std::vector<std::string> clusterFlags(const std::string& natsUrl) {
    return {"--nats",           natsUrl, "--nats-heartbeat-ms", "100", "--nats-lease-ms", "800",
            "--nats-answer-ms", "500",   "--nats-reconnect-ms", "50"};
}

class Relays {
public:
    explicit Relays(Backend backend, std::vector<std::string> args = {}) {
        if (backend == Backend::cluster) {
            nats_ = std::make_unique<NatsServer>();
            const auto cluster = clusterFlags(nats_->url());
            args.insert(args.end(), cluster.begin(), cluster.end());
            keys_ = makeTempFolder("relay-key-");
            args.insert(args.end(), {"--postgres", PostgresServer::shared().createDatabase(),
                                     "--secret", (keys_ / "server.key").string()});
        }
        for (int i = 0; i < (backend == Backend::cluster ? 2 : 1); ++i)
            nodes_.push_back(std::make_unique<RelayProcess>(flags(args)));
    }

    // Each node drains and exits cleanly (under the sanitizers: without a leak).
    ~Relays() {
        for (auto& node : nodes_) EXPECT_TRUE(node->stop()) << node->log();
        if (!keys_.empty()) std::filesystem::remove_all(keys_);
    }

    RelayProcess& node(std::size_t i) { return *nodes_.at(i); }
    std::size_t size() const { return nodes_.size(); }
    NatsServer& nats() { return *nats_; }
    // The node for the next client of the case.
    RelayProcess& next() { return *nodes_[placed_++ % nodes_.size()]; }

private:
    std::unique_ptr<NatsServer> nats_;
    std::filesystem::path keys_;  // the nodes' shared server key
    std::vector<std::unique_ptr<RelayProcess>> nodes_;
    std::size_t placed_ = 0;
};

// Reads presence lists until one names exactly `numbers` (in order); other
// messages are passed over. In a cluster, news from another node takes a
// moment longer than a drain's round trip.
inline bool presenceBecomes(WsClient& client, const std::vector<std::string>& numbers,
                            std::chrono::milliseconds timeout = 3s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        const auto list = client.waitFor("presence", left);
        if (!list) return false;
        if (presenceOf(*list) == numbers) return true;
    }
}

}  // namespace merrowfax::testing

#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace merrowfax::relay {

using Millis = std::chrono::milliseconds;

// Every limit and duration of the service. Defaults are the production
// values; the hidden flags of parseArgs shorten them for tests.
struct Config {
    std::string host = "127.0.0.1";
    std::uint16_t port = 8088;
    std::string dataDir = "merrowfax-relay-data";
    std::string secretFile;  // empty: <dataDir>/server.key
    std::string tlsCert;
    std::string tlsKey;
    int threads = 2;
    std::string logFile;         // empty: stderr
    bool metricsPublic = false;  // /metrics to any peer, not only loopback

    // Sizes.
    std::size_t maxTextMessage = 2 * 1024 * 1024;
    std::size_t maxBinaryMessage = 1024 * 1024;
    std::size_t maxBookEntries = 5000;
    std::size_t maxHttpHeader = 8 * 1024;
    std::size_t maxExchanged = 1000;  // numbers remembered per connection for presence

    // Per connection.
    double recordsPerSecond = 100;
    double recordBurst = 200;
    double floodExcess = 200;  // dropped records in a burst that close the connection
    Millis idle{45'000};
    Millis handshake{10'000};
    Millis httpTimeout{15'000};
    std::size_t sendQueueRecords = 512;
    std::size_t sendQueueMedia = 64;
    std::size_t sendQueueBytes = 16 * 1024 * 1024;

    // Queued bytes over all connections and over those of one address: many
    // slow readers never hold more than this; the slowest are cut first. Per
    // address, two connections at their full queue; in all, a few hundred MB
    // any small host can spare.
    std::size_t sendBudgetBytes = 256 * 1024 * 1024;
    std::size_t addressSendBudgetBytes = 32 * 1024 * 1024;

    // Per number and per address.
    std::size_t maxPerNumber = 10;
    std::size_t maxPerAddress = 64;
    double lookupsPerMinute = 30;

    // PINs.
    int pinFailuresBeforeLock = 5;
    Millis pinLock{15 * 60 * 1000};
    Millis pinLockMax{24 * 60 * 60 * 1000};
    int addressPinFailures = 20;
    Millis addressWindow{60 * 60 * 1000};
    bool fastHash = false;  // Argon2id at its minimum cost: tests only
    int hashThreads = 2;
    std::size_t hashQueue = 64;      // registrations waiting for a hash, in all
    std::size_t hashPerAddress = 8;  // of those, from one network
    // Decisions that need no hash have threads of their own.
    int decisionThreads = 2;
    std::size_t decisionQueue = 1024;
    std::size_t newNumbersPerWindow = 10;  // per network; 0: no limit
    Millis newNumberWindow{60 * 60 * 1000};

    // Trusted computers.
    std::size_t maxTrusted = 16;    // per number
    double trustOpsPerMinute = 10;  // trust/untrust records per connection

    // Storage work, off the I/O threads.
    int storeThreads = 2;
    std::size_t storeQueue = 4096;
    Millis storeRetry{200};  // a connection's book work waits this long when the queue is full

    // Shared state for several nodes: a libpq connection string; empty keeps
    // SQLite in the data folder.
    std::string postgres;
    // The longest one PostgreSQL call waits (connecting, a statement, a lock,
    // a free connection); after a failed connect, calls fail at once for
    // storeReconnect before the next try.
    Millis storeTimeout{10'000};
    Millis storeReconnect{1'000};

    // Number statements: how long one holds once signed.
    std::chrono::seconds statementValidity{14 * 24 * 60 * 60};

    std::size_t pageSize = 50;
    Millis shutdownGrace{2'000};

    // A cluster: nodes behind one address route records and share presence
    // over NATS (empty: this node alone).
    std::string natsUrl;
    Millis natsHeartbeat{1'000};  // each node says it is alive this often
    Millis natsLease{4'000};      // a node silent this long is gone, its numbers offline
    Millis natsAnswer{2'000};     // a record no other node took by then answers "miss"
    Millis natsReconnect{250};    // between attempts to reach NATS again
};

// Why these settings cannot run together, or nothing when they can.
std::optional<std::string> clusterRefusal(const Config& config);

// Parses the command line and the file `--config FILE` names, whose lines
// are `name = value` with the long flags' names; the command line wins over
// the file, the file over the environment. On error returns nothing and
// fills `error` (for the file, with the line's number).
std::optional<Config> parseArgs(const std::vector<std::string>& args, std::string& error);

std::string usage();

}  // namespace merrowfax::relay

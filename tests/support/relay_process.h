#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace merrowfax::testing {

// The real merrowfax-relay binary on an ephemeral loopback port with a fresh
// data folder (removed with this object). Throws std::runtime_error when the
// service does not start, so a test that needs it fails loudly.
class RelayProcess {
public:
    struct Options {
        std::vector<std::string> args;  // extra flags, e.g. {"--idle-ms", "300"}
        bool fastHash = true;           // Argon2id at its minimum cost
        // Tests create many numbers from one address: no limit unless asked.
        bool limitNewNumbers = false;
        std::filesystem::path binary = defaultBinary();
    };

    RelayProcess();
    explicit RelayProcess(Options options);
    ~RelayProcess();
    RelayProcess(const RelayProcess&) = delete;
    RelayProcess& operator=(const RelayProcess&) = delete;

    // The MERROWFAX_RELAY_BINARY compile definition, else $MERROWFAX_RELAY_BINARY.
    static std::filesystem::path defaultBinary();

    unsigned short port() const { return port_; }
    std::string wsUrl(const std::string& target) const;  // ws://127.0.0.1:PORT + target
    const std::filesystem::path& dataDir() const { return dataDir_; }
    // What the service wrote to stderr so far.
    std::string log() const;

    // SIGTERM and wait; true when it exited with status 0 in time.
    bool stop(std::chrono::milliseconds grace = std::chrono::seconds(10));
    // SIGKILL and wait: the crash case.
    void kill();
    // Starts again on the same data folder: on a new port, or on the same one
    // (clients that reconnect by themselves find it again).
    void restart(bool samePort = false);
    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

private:
    void start(unsigned short port = 0);

    Options options_;
    std::filesystem::path root_;
    std::filesystem::path dataDir_;
    std::filesystem::path logFile_;
    pid_t pid_ = -1;
    unsigned short port_ = 0;
};

}  // namespace merrowfax::testing

#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace merrowfax::testing {

// A private nats-server on a free loopback port, for the relay's cluster
// tests. It can be stopped and started again on the same port (the relays'
// client library reconnects to it by itself). Throws std::runtime_error with
// the reason when the server cannot be started, so a test that needs it
// fails instead of passing without it.
class NatsServer {
public:
    NatsServer();
    ~NatsServer();
    NatsServer(const NatsServer&) = delete;
    NatsServer& operator=(const NatsServer&) = delete;

    // Debian's /usr/sbin/nats-server, or one in /usr/local/bin.
    static std::filesystem::path binary();

    unsigned short port() const { return port_; }
    // Its HTTP monitoring endpoint (/connz?subs=1 lists each client's subscriptions).
    unsigned short monitorPort() const { return monitorPort_; }
    std::string url() const;  // nats://127.0.0.1:PORT
    bool running() const { return pid_ > 0; }

    void stop();   // SIGKILL: every client loses its connection at once
    void start();  // again, on the same port
    // What the server logged so far.
    std::string log() const;

private:
    void launch(int port);

    std::filesystem::path root_;
    pid_t pid_ = -1;
    unsigned short port_ = 0;
    unsigned short monitorPort_ = 0;
};

}  // namespace merrowfax::testing

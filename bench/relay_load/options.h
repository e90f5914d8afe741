#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace merrowfax::bench {

// Which server is on the other end, and so which client speaks to it.
enum class Server { ours, nats };

// The command line, parsed.
struct Options {
    Server server = Server::ours;
    std::string host = "127.0.0.1";
    unsigned short port = 0;
    unsigned short port2 = 0;  // a second node of a cluster: odd clients go there
    std::string scenario;
    pid_t pid = 0;
    bool quick = false;
    std::size_t connections = 0;   // 0: the scenario's own count
    std::size_t perSource = 60;    // clients per loopback source address
    std::size_t concurrency = 32;  // registrations in flight
    double rate = 0;               // texts: one step at this rate instead of the search
};

}  // namespace merrowfax::bench

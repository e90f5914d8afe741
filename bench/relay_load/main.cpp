// relay_load: drives a relay with WebSocket clients on loopback and measures
// what they see. One process, one thread, one steady clock: every latency is
// the receiving client's clock reading minus the stamp the sending client put
// in the payload. Two adapters: merrowfax-relay's live endpoint, and
// nats-server's WebSocket listener speaking the NATS text protocol, where each
// number subscribes to its own subject and publishes to its partner's.
#include <cstdio>
#include <exception>
#include <string>

#include "addressing.h"
#include "load.h"
#include "numbers/virtual_number.h"
#include "options.h"
#include "report.h"
#include "scenarios.h"

namespace merrowfax::bench {
namespace {

int usage() {
    std::fputs(
        "usage: relay_load --server ours|nats --port PORT --scenario texts|audio|screens|idle\n"
        "                  [--host 127.0.0.1] [--pid SERVER_PID] [--quick] [--port2 PORT]\n"
        "                  [--connections N] [--per-source N] [--concurrency N]\n",
        stderr);
    return 2;
}

int run(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (flag == "--quick") {
            o.quick = true;
            continue;
        }
        if (i + 1 >= argc) return usage();
        const std::string value = argv[++i];
        if (flag == "--server") {
            if (value != "ours" && value != "nats") return usage();
            o.server = value == "ours" ? Server::ours : Server::nats;
        } else if (flag == "--host") {
            o.host = value;
        } else if (flag == "--port") {
            o.port = static_cast<unsigned short>(std::stoi(value));
        } else if (flag == "--port2") {
            o.port2 = static_cast<unsigned short>(std::stoi(value));
        } else if (flag == "--scenario") {
            o.scenario = value;
        } else if (flag == "--pid") {
            o.pid = static_cast<pid_t>(std::stoi(value));
        } else if (flag == "--connections") {
            o.connections = std::stoul(value);
        } else if (flag == "--per-source") {
            o.perSource = std::stoul(value);
        } else if (flag == "--rate") {
            o.rate = std::stod(value);
        } else if (flag == "--concurrency") {
            o.concurrency = std::stoul(value);
        } else {
            return usage();
        }
    }
    if (o.port == 0 || o.scenario.empty()) return usage();
    if (o.connections % 2) ++o.connections;  // pairs
    // The numbers must be what the relay itself calls canonical.
    for (std::size_t i : {std::size_t{0}, std::size_t{99'999}}) {
        const auto parsed = VirtualNumber::parse(numberFor(i));
        if (!parsed || parsed->text() != numberFor(i)) {
            note("not a canonical number: " + numberFor(i));
            return 1;
        }
    }
    Load load(o);
    if (o.scenario == "texts") return texts(load);
    if (o.scenario == "audio") return audio(load);
    if (o.scenario == "screens") return screens(load);
    if (o.scenario == "idle") return idle(load);
    return usage();
}

}  // namespace
}  // namespace merrowfax::bench

int main(int argc, char** argv) {
    try {
        return merrowfax::bench::run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "relay_load: %s\n", e.what());
        return 1;
    }
}

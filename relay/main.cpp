#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "relay/config.h"
#include "relay/log.h"
#include "relay/server.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
        std::fputs(merrowfax::relay::usage().c_str(), stdout);
        return 0;
    }
    std::string error;
    auto config = merrowfax::relay::parseArgs(args, error);
    if (!config) {
        std::fprintf(stderr, "merrowfax-relay: %s\n%s", error.c_str(),
                     merrowfax::relay::usage().c_str());
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    try {
        merrowfax::relay::openLog(config->logFile);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "merrowfax-relay: %s\n", e.what());
        return 1;
    }
    try {
        merrowfax::relay::Server server(std::move(*config));
        return server.run();
    } catch (const std::exception& e) {
        merrowfax::relay::logEvent(merrowfax::relay::Level::error, "fatal", {{"error", e.what()}});
        return 1;
    }
}

#include "relay/config.h"

#include <charconv>
#include <cstdlib>
#include <functional>
#include <map>

namespace merrowfax::relay {
namespace {

template <class T>
bool number(const std::string& text, T& out) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc{} && end == text.data() + text.size();
}

bool millis(const std::string& text, Millis& out) {
    long long value = 0;
    if (!number(text, value) || value < 0) return false;
    out = Millis{value};
    return true;
}

// Whole seconds, at least one and at most a year.
bool validity(const std::string& text, std::chrono::seconds& out) {
    long long value = 0;
    if (!number(text, value) || value < 1 || value > 365LL * 24 * 60 * 60) return false;
    out = std::chrono::seconds{value};
    return true;
}

bool decimal(const std::string& text, double& out) {
    char* end = nullptr;
    out = std::strtod(text.c_str(), &end);
    return !text.empty() && end == text.c_str() + text.size() && out > 0;
}

bool listen(const std::string& text, Config& c) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    std::string host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    c.host = host;
    return number(text.substr(colon + 1), c.port);
}

using Setter = std::function<bool(const std::string&, Config&)>;

const std::map<std::string, Setter>& setters() {
    static const std::map<std::string, Setter> table = {
        {"--listen", listen},
        {"--data",
         [](const std::string& v, Config& c) {
             return !(c.dataDir = v).empty();
         }},
        {"--secret",
         [](const std::string& v, Config& c) {
             return !(c.secretFile = v).empty();
         }},
        {"--tls-cert",
         [](const std::string& v, Config& c) {
             return !(c.tlsCert = v).empty();
         }},
        {"--tls-key",
         [](const std::string& v, Config& c) {
             return !(c.tlsKey = v).empty();
         }},
        {"--threads",
         [](const std::string& v, Config& c) {
             return number(v, c.threads) && c.threads > 0 && c.threads <= 256;
         }},
        {"--new-numbers-per-hour",
         [](const std::string& v, Config& c) {
             return number(v, c.newNumbersPerWindow);
         }},
        {"--statement-validity",
         [](const std::string& v, Config& c) {
             return validity(v, c.statementValidity);
         }},
        // Test knobs (not in --help).
        {"--new-number-window-ms",
         [](const std::string& v, Config& c) {
             return millis(v, c.newNumberWindow) && c.newNumberWindow.count() > 0;
         }},
        {"--hash-per-address",
         [](const std::string& v, Config& c) {
             return number(v, c.hashPerAddress) && c.hashPerAddress > 0;
         }},
        {"--max-trusted",
         [](const std::string& v, Config& c) {
             return number(v, c.maxTrusted) && c.maxTrusted > 0;
         }},
        {"--trust-ops-per-minute",
         [](const std::string& v, Config& c) {
             return decimal(v, c.trustOpsPerMinute);
         }},
        {"--idle-ms",
         [](const std::string& v, Config& c) {
             return millis(v, c.idle);
         }},
        {"--handshake-ms",
         [](const std::string& v, Config& c) {
             return millis(v, c.handshake);
         }},
        {"--http-timeout-ms",
         [](const std::string& v, Config& c) {
             return millis(v, c.httpTimeout);
         }},
        {"--pin-lock-ms",
         [](const std::string& v, Config& c) {
             return millis(v, c.pinLock);
         }},
        {"--pin-lock-max-ms",
         [](const std::string& v, Config& c) {
             return millis(v, c.pinLockMax);
         }},
        {"--address-window-ms",
         [](const std::string& v, Config& c) {
             return millis(v, c.addressWindow);
         }},
        {"--address-pin-failures",
         [](const std::string& v, Config& c) {
             return number(v, c.addressPinFailures);
         }},
        {"--records-per-second",
         [](const std::string& v, Config& c) {
             return decimal(v, c.recordsPerSecond);
         }},
        {"--record-burst",
         [](const std::string& v, Config& c) {
             return decimal(v, c.recordBurst);
         }},
        {"--flood-excess",
         [](const std::string& v, Config& c) {
             return decimal(v, c.floodExcess);
         }},
        {"--max-per-number",
         [](const std::string& v, Config& c) {
             return number(v, c.maxPerNumber);
         }},
        {"--max-per-address",
         [](const std::string& v, Config& c) {
             return number(v, c.maxPerAddress);
         }},
        {"--lookups-per-minute",
         [](const std::string& v, Config& c) {
             return decimal(v, c.lookupsPerMinute);
         }},
        {"--page-size",
         [](const std::string& v, Config& c) {
             return number(v, c.pageSize) && c.pageSize > 0 && c.pageSize <= 500;
         }},
        {"--send-queue-records",
         [](const std::string& v, Config& c) {
             return number(v, c.sendQueueRecords);
         }},
        {"--send-queue-bytes",
         [](const std::string& v, Config& c) {
             return number(v, c.sendQueueBytes);
         }},
        {"--send-budget-bytes",
         [](const std::string& v, Config& c) {
             return number(v, c.sendBudgetBytes);
         }},
        {"--address-send-budget-bytes",
         [](const std::string& v, Config& c) {
             return number(v, c.addressSendBudgetBytes);
         }},
        {"--store-queue",
         [](const std::string& v, Config& c) {
             return number(v, c.storeQueue);
         }},
        {"--store-retry-ms",
         [](const std::string& v, Config& c) {
             return millis(v, c.storeRetry) && c.storeRetry.count() > 0;
         }},
        {"--shutdown-grace-ms",
         [](const std::string& v, Config& c) {
             return millis(v, c.shutdownGrace);
         }},
    };
    return table;
}

}  // namespace

std::optional<Config> parseArgs(const std::vector<std::string>& args, std::string& error) {
    Config c;
    if (const char* fast = std::getenv("MERROWFAX_RELAY_FAST_HASH");
        fast && std::string(fast) == "1")
        c.fastHash = true;
    // A flag given as well wins.
    if (const char* seconds = std::getenv("MERROWFAX_RELAY_STATEMENT_VALIDITY");
        seconds && !validity(seconds, c.statementValidity)) {
        error = "bad value for MERROWFAX_RELAY_STATEMENT_VALIDITY";
        return std::nullopt;
    }
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& flag = args[i];
        if (flag == "--fast-hash") {
            c.fastHash = true;
            continue;
        }
        const auto it = setters().find(flag);
        if (it == setters().end()) {
            error = "unknown option " + flag;
            return std::nullopt;
        }
        if (i + 1 >= args.size() || !it->second(args[i + 1], c)) {
            error = "bad value for " + flag;
            return std::nullopt;
        }
        ++i;
    }
    if (c.tlsCert.empty() != c.tlsKey.empty()) {
        error = "--tls-cert and --tls-key go together";
        return std::nullopt;
    }
    return c;
}

std::string usage() {
    return "usage: merrowfax-relay [--listen HOST:PORT] [--data DIR] [--secret FILE]\n"
           "                       [--tls-cert FILE --tls-key FILE] [--threads N]\n"
           "                       [--new-numbers-per-hour N] [--statement-validity SECONDS]\n"
           "  --listen   address and port (default 127.0.0.1:8088; port 0 picks one)\n"
           "  --data     folder for the database (created when missing)\n"
           "  --secret   server key file (default DIR/server.key, made at first start)\n"
           "  --tls-*    serve wss:// and https:// with this certificate chain and key\n"
           "  --threads  I/O threads (default 2)\n"
           "  --new-numbers-per-hour  numbers one network may create per hour\n"
           "             (default 10; 0: no limit)\n"
           "  --statement-validity  how long a signed number statement holds\n"
           "             (default 1209600, 14 days; at most a year)\n";
}

}  // namespace merrowfax::relay

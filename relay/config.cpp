#include "relay/config.h"

#include <charconv>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <string_view>
#include <utility>

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
        {"listen", listen},
        {"data",
         [](const std::string& v, Config& c) {
             return !(c.dataDir = v).empty();
         }},
        {"secret",
         [](const std::string& v, Config& c) {
             return !(c.secretFile = v).empty();
         }},
        {"tls-cert",
         [](const std::string& v, Config& c) {
             return !(c.tlsCert = v).empty();
         }},
        {"tls-key",
         [](const std::string& v, Config& c) {
             return !(c.tlsKey = v).empty();
         }},
        {"log",
         [](const std::string& v, Config& c) {
             return !(c.logFile = v).empty();
         }},
        {"postgres",
         [](const std::string& v, Config& c) {
             return !(c.postgres = v).empty();
         }},
        {"threads",
         [](const std::string& v, Config& c) {
             return number(v, c.threads) && c.threads > 0 && c.threads <= 256;
         }},
        {"new-numbers-per-hour",
         [](const std::string& v, Config& c) {
             return number(v, c.newNumbersPerWindow);
         }},
        {"statement-validity",
         [](const std::string& v, Config& c) {
             return validity(v, c.statementValidity);
         }},
        {"nats",
         [](const std::string& v, Config& c) {
             return !(c.natsUrl = v).empty();
         }},
        // Test knobs (not in --help).
        {"nats-heartbeat-ms",
         [](const std::string& v, Config& c) {
             return millis(v, c.natsHeartbeat) && c.natsHeartbeat.count() > 0;
         }},
        {"nats-lease-ms",
         [](const std::string& v, Config& c) {
             return millis(v, c.natsLease) && c.natsLease.count() > 0;
         }},
        {"nats-answer-ms",
         [](const std::string& v, Config& c) {
             return millis(v, c.natsAnswer) && c.natsAnswer.count() > 0;
         }},
        {"nats-reconnect-ms",
         [](const std::string& v, Config& c) {
             return millis(v, c.natsReconnect) && c.natsReconnect.count() > 0;
         }},
        {"new-number-window-ms",
         [](const std::string& v, Config& c) {
             return millis(v, c.newNumberWindow) && c.newNumberWindow.count() > 0;
         }},
        {"hash-per-address",
         [](const std::string& v, Config& c) {
             return number(v, c.hashPerAddress) && c.hashPerAddress > 0;
         }},
        {"max-trusted",
         [](const std::string& v, Config& c) {
             return number(v, c.maxTrusted) && c.maxTrusted > 0;
         }},
        {"trust-ops-per-minute",
         [](const std::string& v, Config& c) {
             return decimal(v, c.trustOpsPerMinute);
         }},
        {"idle-ms",
         [](const std::string& v, Config& c) {
             return millis(v, c.idle);
         }},
        {"handshake-ms",
         [](const std::string& v, Config& c) {
             return millis(v, c.handshake);
         }},
        {"http-timeout-ms",
         [](const std::string& v, Config& c) {
             return millis(v, c.httpTimeout);
         }},
        {"pin-lock-ms",
         [](const std::string& v, Config& c) {
             return millis(v, c.pinLock);
         }},
        {"pin-lock-max-ms",
         [](const std::string& v, Config& c) {
             return millis(v, c.pinLockMax);
         }},
        {"address-window-ms",
         [](const std::string& v, Config& c) {
             return millis(v, c.addressWindow);
         }},
        {"address-pin-failures",
         [](const std::string& v, Config& c) {
             return number(v, c.addressPinFailures);
         }},
        {"records-per-second",
         [](const std::string& v, Config& c) {
             return decimal(v, c.recordsPerSecond);
         }},
        {"record-burst",
         [](const std::string& v, Config& c) {
             return decimal(v, c.recordBurst);
         }},
        {"flood-excess",
         [](const std::string& v, Config& c) {
             return decimal(v, c.floodExcess);
         }},
        {"max-per-number",
         [](const std::string& v, Config& c) {
             return number(v, c.maxPerNumber);
         }},
        {"max-per-address",
         [](const std::string& v, Config& c) {
             return number(v, c.maxPerAddress);
         }},
        {"lookups-per-minute",
         [](const std::string& v, Config& c) {
             return decimal(v, c.lookupsPerMinute);
         }},
        {"page-size",
         [](const std::string& v, Config& c) {
             return number(v, c.pageSize) && c.pageSize > 0 && c.pageSize <= 500;
         }},
        {"send-queue-records",
         [](const std::string& v, Config& c) {
             return number(v, c.sendQueueRecords);
         }},
        {"send-queue-bytes",
         [](const std::string& v, Config& c) {
             return number(v, c.sendQueueBytes);
         }},
        {"send-budget-bytes",
         [](const std::string& v, Config& c) {
             return number(v, c.sendBudgetBytes);
         }},
        {"address-send-budget-bytes",
         [](const std::string& v, Config& c) {
             return number(v, c.addressSendBudgetBytes);
         }},
        {"store-queue",
         [](const std::string& v, Config& c) {
             return number(v, c.storeQueue);
         }},
        {"store-timeout-ms",
         [](const std::string& v, Config& c) {
             return millis(v, c.storeTimeout) && c.storeTimeout.count() > 0;
         }},
        {"store-reconnect-ms",
         [](const std::string& v, Config& c) {
             return millis(v, c.storeReconnect);
         }},
        {"store-retry-ms",
         [](const std::string& v, Config& c) {
             return millis(v, c.storeRetry) && c.storeRetry.count() > 0;
         }},
        {"shutdown-grace-ms",
         [](const std::string& v, Config& c) {
             return millis(v, c.shutdownGrace);
         }},
    };
    return table;
}

// Switches: bare on the command line, `true` or `false` in a file.
const std::map<std::string, bool Config::*>& switches() {
    static const std::map<std::string, bool Config::*> table = {
        {"fast-hash", &Config::fastHash},  // test knob (not in --help)
        {"metrics-public", &Config::metricsPublic},
    };
    return table;
}

enum class Applied { ok, unknown, bad };

// One setting by its name: a long flag without its dashes.
Applied apply(const std::string& name, const std::string& value, Config& c) {
    if (const auto it = switches().find(name); it != switches().end()) {
        if (value != "true" && value != "false") return Applied::bad;
        c.*(it->second) = value == "true";
        return Applied::ok;
    }
    const auto it = setters().find(name);
    if (it == setters().end()) return Applied::unknown;
    return it->second(value, c) ? Applied::ok : Applied::bad;
}

std::string trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    return std::string(text.substr(first, text.find_last_not_of(" \t\r") - first + 1));
}

// Every line of the file is applied or the whole file is refused; a name
// given twice is refused too, as it is more often a slip than an intent.
bool readFile(const std::string& path, Config& c, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot read config file " + path;
        return false;
    }
    std::map<std::string, int> seen;
    std::string line;
    for (int n = 1; std::getline(in, line); ++n) {
        const std::string text = trim(line);
        if (text.empty() || text.front() == '#') continue;
        const std::string where = path + ":" + std::to_string(n) + ": ";
        const auto equals = text.find('=');
        const std::string name = trim(std::string_view(text).substr(0, equals));
        if (equals == std::string::npos || name.empty()) {
            error = where + "expected name = value";
            return false;
        }
        const std::string value = trim(std::string_view(text).substr(equals + 1));
        const auto [previous, fresh] = seen.emplace(name, n);
        if (!fresh) {
            error = where + name + " is already set on line " + std::to_string(previous->second);
            return false;
        }
        const Applied applied = name == "config" ? Applied::unknown : apply(name, value, c);
        if (applied == Applied::unknown) error = where + "unknown setting " + name;
        if (applied == Applied::bad) error = where + "bad value for " + name;
        if (applied != Applied::ok) return false;
    }
    return true;
}

}  // namespace

// The nodes of a cluster share their durable state in PostgreSQL: --nats and
// --postgres go together and either alone is refused. Nodes with routing but
// each its own SQLite would show a client that moves a different book and
// PIN; one SQLite-less node on PostgreSQL has nothing to share it with.
std::optional<std::string> clusterRefusal(const Config& c) {
    const bool cluster = !c.natsUrl.empty();
    const bool sharedStore = !c.postgres.empty();
    if (cluster && !sharedStore)
        return "--nats needs --postgres: the nodes of a cluster share one store";
    if (!cluster && sharedStore) return "--postgres needs --nats: a shared store is for a cluster";
    if (c.natsLease <= c.natsHeartbeat)
        return "--nats-lease-ms must be longer than --nats-heartbeat-ms";
    return std::nullopt;
}

std::optional<Config> parseArgs(const std::vector<std::string>& args, std::string& error) {
    Config c;
    if (const char* fast = std::getenv("MERROWFAX_RELAY_FAST_HASH");
        fast && std::string(fast) == "1")
        c.fastHash = true;
    if (const char* seconds = std::getenv("MERROWFAX_RELAY_STATEMENT_VALIDITY");
        seconds && !validity(seconds, c.statementValidity)) {
        error = "bad value for MERROWFAX_RELAY_STATEMENT_VALIDITY";
        return std::nullopt;
    }
    // The flags as (name, value) in order; switches stand alone.
    std::vector<std::pair<std::string, std::string>> given;
    std::optional<std::string> file;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& flag = args[i];
        const std::string name = flag.starts_with("--") ? flag.substr(2) : std::string();
        if (switches().count(name) > 0) {
            given.emplace_back(name, "true");
            continue;
        }
        if (name != "config" && setters().count(name) == 0) {
            error = "unknown option " + flag;
            return std::nullopt;
        }
        if (name == "config" && file) {
            error = "--config given twice";
            return std::nullopt;
        }
        if (i + 1 >= args.size()) {
            error = "bad value for " + flag;
            return std::nullopt;
        }
        if (name == "config") {
            file = args[++i];
        } else {
            given.emplace_back(name, args[++i]);
        }
    }
    // The file first, wherever --config stands: the command line overrides it.
    if (file && !readFile(*file, c, error)) return std::nullopt;
    for (const auto& [name, value] : given) {
        if (apply(name, value, c) != Applied::ok) {
            error = "bad value for --" + name;
            return std::nullopt;
        }
    }
    if (c.tlsCert.empty() != c.tlsKey.empty()) {
        error = "--tls-cert and --tls-key go together";
        return std::nullopt;
    }
    if (auto refusal = clusterRefusal(c)) {
        error = std::move(*refusal);
        return std::nullopt;
    }
    return c;
}

std::string usage() {
    return R"(usage: merrowfax-relay [--config FILE] [--listen HOST:PORT] [--data DIR]
                       [--secret FILE] [--tls-cert FILE --tls-key FILE] [--threads N]
                       [--log FILE] [--new-numbers-per-hour N]
                       [--statement-validity SECONDS] [--metrics-public]
                       [--postgres CONNINFO --nats URL]

The Merrowfax relay service: the live WebSocket endpoint, the computer lookup
and the directory on one port.

Options:
  --config FILE   read settings from FILE first: one "name = value" a line,
                  the name being an option below without its dashes (listen,
                  data, secret, tls-cert, tls-key, threads, log,
                  new-numbers-per-hour, statement-validity, postgres, nats, and
                  metrics-public = true or false); blank lines and lines
                  starting with # are skipped. A bad line stops the service
                  with its number. Options on the command line win.
  --listen HOST:PORT
                  address and port (default 127.0.0.1:8088; port 0 picks one)
  --data DIR      folder for the database (created when missing)
  --secret FILE   server key file (default DIR/server.key, made at first start)
  --tls-cert FILE, --tls-key FILE
                  serve wss:// and https:// with this certificate chain and key
  --threads N     I/O threads (default 2)
  --log FILE      append log events to FILE (default: standard error)
  --new-numbers-per-hour N
                  numbers one network may create per hour (default 10; 0: no limit)
  --statement-validity SECONDS
                  how long a signed number statement holds (default 1209600,
                  14 days; at most a year); also MERROWFAX_RELAY_STATEMENT_VALIDITY
                  in the environment, which the file and the option override
  --metrics-public
                  answer /metrics to every peer, not only to loopback ones
  --postgres CONNINFO
                  keep numbers, PINs, trust, books and throttles in this
                  PostgreSQL database (a libpq connection string such as
                  "host=db.internal dbname=merrowfax user=relay"), shared by
                  every relay node behind one address, instead of SQLite in
                  DIR; the nodes must share the server key (--secret). The
                  schema is made or upgraded at start; a database that cannot
                  be reached at start stops the service. Put a password in
                  the config file or ~/.pgpass, not on the command line
  --nats URL      run as one node of a cluster behind one address: records,
                  media and presence reach the connections of a number on any
                  node through the NATS server at URL (nats://HOST:PORT; a
                  list separated by commas). Its max_payload must hold the
                  largest record, 2 MB: set it to 4MB. Every node needs the
                  same --secret.
  --help          show this text

Operation:
  GET /healthz answers "ok" while serving and 503 once shutting down.
  GET /metrics answers counters in the Prometheus text format, to loopback
  peers only unless --metrics-public (a reverse proxy on this host makes
  every peer loopback: keep /metrics out of what it forwards).
  SIGTERM or SIGINT: stop accepting, close every connection with 1001 (going
  away), finish the PIN decisions under way, store everything, exit 0.
  SIGHUP: open the log file again (after rotation) and load the TLS
  certificate and key again for new connections; files that fail to load
  leave the old ones in use, and the log says why.
  The log has one event a line in logfmt ("level=info event=listening
  addr=127.0.0.1:8088"); to the systemd journal without a time stamp and with
  a priority prefix. It never holds a PIN, a computer id or a query string.
)";
}

}  // namespace merrowfax::relay

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "clock.h"
#include "load.h"
#include "process_memory.h"
#include "report.h"
#include "scenarios.h"

namespace merrowfax::bench {

using namespace std::chrono_literals;

// Idle: resident memory of the server per registered, silent connection.
int idle(Load& load) {
    const auto& o = load.options;
    std::size_t n = countOr(o, 20'000);
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    if (files.rlim_cur != RLIM_INFINITY && n + 64 > files.rlim_cur) {
        n = files.rlim_cur - 64;
        note("open files limited to " + std::to_string(files.rlim_cur) + ": " + std::to_string(n) +
             " connections");
    }
    // A first connection brings in whatever the server allocates once.
    if (!load.connect(0, 1, 30s)) return 1;
    load.waitUntil([] { return false; }, 1s);
    const std::uint64_t before = residentKb(o.pid);
    const auto t0 = nowNs();
    if (!load.connect(1, n, 300s)) return 1;
    result("registrations_per_s",
           static_cast<double>(n - 1) * kSecond / static_cast<double>(nowNs() - t0));
    // Settle, then take the median of a few readings.
    load.waitUntil([] { return false; }, 2s);
    std::vector<std::uint64_t> readings;
    for (int i = 0; i < 5; ++i) {
        load.waitUntil([] { return false; }, 300ms);
        readings.push_back(residentKb(o.pid));
    }
    std::sort(readings.begin(), readings.end());
    const std::uint64_t after = readings[readings.size() / 2];
    std::size_t open = 0;
    for (const auto& c : load.conns) open += c->alive ? 1 : 0;
    const double perConn =
        static_cast<double>(after - before) * 1024.0 / static_cast<double>(n - 1);
    note("idle: " + std::to_string(open) + " open, server " + std::to_string(before) + " KB -> " +
         std::to_string(after) + " KB");
    result("idle_connections", static_cast<double>(open));
    result("idle_bytes_per_conn", perConn);
    result("idle_rss_mb", static_cast<double>(after) / 1024.0);
    return open == n ? 0 : 1;
}

}  // namespace merrowfax::bench

#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace merrowfax::relay {

using Counter = std::atomic<std::uint64_t>;
using Gauge = std::atomic<std::int64_t>;

// Counting is a relaxed addition: totals need no order with anything else.
inline void bump(Counter& counter, std::uint64_t n = 1) {
    counter.fetch_add(n, std::memory_order_relaxed);
}
inline void move(Gauge& gauge, std::int64_t by) {
    gauge.fetch_add(by, std::memory_order_relaxed);
}

// Durations in fixed buckets, without locks. Each observation lands in one
// bucket; the rendering makes them cumulative as Prometheus reads them.
class Histogram {
public:
    static constexpr std::array<double, 12> kBounds = {
        0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 1.0};

    void observe(std::chrono::nanoseconds duration);
    void render(std::string& out, std::string_view name) const;

private:
    std::array<Counter, kBounds.size() + 1> buckets_{};  // the last one is +Inf
    Counter nanos_{0};
};

// A message kind on the live endpoint: records are text, media frames binary.
struct Flow {
    Counter messages{0};
    Counter bytes{0};
};

// Everything the service counts for its operator, reached through Services.
// Only relaxed atomics: the hot paths (records in and out) add to them and
// never lock or allocate. Hot groups sit on cache lines of their own so that
// I/O threads counting different things do not share one.
struct Metrics {
    Gauge connectionsOpen{0};  // TCP connections, HTTP and WebSocket
    Counter connectionsAccepted{0};
    Counter connectionsRefused{0};  // too many from one address
    Gauge liveOpen{0};              // registered WebSocket connections

    Counter registrationsOk{0};
    Counter registrationsDenied{0};  // answered "denied": unreadable or refused
    Counter registrationsBusy{0};    // queues full: closed with "try again later"

    Counter pinAccepted{0};  // the right PIN
    Counter pinRejected{0};  // a wrong PIN (or a change without the current one)
    Counter pinLocked{0};    // refused unchecked: too many wrong PINs
    Counter pinMissing{0};   // a guarded number claimed without a PIN
    Counter pinSet{0};       // a PIN stored: a first one or a change

    alignas(64) Flow inText;
    Flow inBinary;
    alignas(64) Flow outText;
    Flow outBinary;
    alignas(64) Counter mediaDropped{0};  // media a full send queue lost

    Counter recordsThrottled{0};
    Counter floodersCut{0};
    Counter lookupsThrottled{0};
    Counter pagesThrottled{0};
    Counter trustThrottled{0};
    Counter slowCutQueue{0};   // a connection's own send queue was full of records
    Counter slowCutBudget{0};  // the slowest reader over the shared send budget

    Counter lookups{0};  // computer lookups and forgets
    Counter directoryPages{0};

    Counter storeRefused{0};  // storage jobs refused: the queue was full
    Histogram storeSeconds;   // how long each storage job ran

    // A node of a cluster: its link to NATS and what crossed it.
    Gauge clusterConnected{0};  // 1 while NATS is reachable
    Gauge clusterNodes{0};      // other nodes alive, as far as this one knows
    alignas(64) Counter clusterOut{0};
    Counter clusterIn{0};
    Counter clusterRejected{0};  // malformed or out of bounds: another node's fault
    Counter clusterMissed{0};    // records no other node took: answered "miss"

    // The text exposition format, version 0.0.4; `storeQueued` is the storage
    // pool's backlog at this moment.
    std::string render(std::size_t storeQueued) const;
};

// Loopback peers: 127.0.0.0/8, ::1 and IPv4-mapped loopback.
bool isLoopback(std::string_view address);

}  // namespace merrowfax::relay

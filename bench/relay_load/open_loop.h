#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "clock.h"
#include "histogram.h"
#include "payload.h"

namespace merrowfax::bench {

class Client;
class Load;

// When each message of an open-loop run is due and which ones count: sending
// starts a millisecond from now, runs `warmNs` uncounted, then `measureNs`
// counted. Message k is due at start + k / rate whatever happened to the ones
// before it.
class Schedule {
public:
    Schedule(double rate, std::uint64_t warmNs, std::uint64_t measureNs)
        : start(nowNs() + 1'000'000),
          from(start + warmNs),
          until(from + measureNs),
          interval_(kSecond / rate) {}

    const std::uint64_t start;
    const std::uint64_t from;   // first counted send time
    const std::uint64_t until;  // end of the counted window, and of the run

    bool counted(std::uint64_t sentNs) const { return sentNs >= from && sentNs < until; }

    // Calls `send(k, due)` for every message due by `now` and not yet handed
    // out; false once the next one falls after the window (the run is over).
    template <class Send>
    bool sendDue(std::uint64_t now, Send&& send) {
        if (now < start) return true;
        const auto due =
            static_cast<std::uint64_t>(static_cast<double>(now - start) / interval_) + 1;
        for (; next_ < due; ++next_) {
            const auto when =
                start + static_cast<std::uint64_t>(static_cast<double>(next_) * interval_);
            if (when >= until) return false;
            send(next_, when);
        }
        return true;
    }

private:
    const double interval_;
    std::uint64_t next_ = 0;
};

// Sends at a fixed total rate, round robin over `senders`, each message to its
// sender's partner, on a Schedule.
struct OpenLoop {
    double rate = 0;                  // messages per second, all senders together
    std::uint64_t warmNs = 0;         // sent but not counted
    std::uint64_t measureNs = 0;      // counted
    std::uint64_t drainNs = kSecond;  // how long late messages may still arrive
    bool stampIntended = true;        // stamp the due time (open loop) or the send time
    std::vector<std::size_t> senders;
    std::function<std::shared_ptr<const std::string>(Client& from, Stamp)> make;
    bool binary = false;
};

struct LoopResult {
    Histogram latency;
    std::uint64_t sent = 0;      // in the measured window
    std::uint64_t received = 0;  // of those
    std::uint64_t reordered = 0;
    Histogram lag;  // how far behind schedule each send went out
    double seconds = 0;
};

LoopResult runOpenLoop(Load& load, const OpenLoop& loop);

}  // namespace merrowfax::bench

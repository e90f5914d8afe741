#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "clock.h"
#include "histogram.h"
#include "load.h"
#include "open_loop.h"
#include "process_memory.h"
#include "report.h"
#include "scenarios.h"

namespace merrowfax::bench {

using namespace std::chrono_literals;

// Screen frames: 900 KB every 125 ms on each stream, one way. Run once with
// every receiver keeping up and once with the first one reading two frames'
// worth of bytes a second, on the same connections.
int screens(Load& load) {
    const auto& o = load.options;
    const std::size_t streams = countOr(o, 12) / 2;
    const std::size_t n = streams * 2;
    load.writeBufferBytes = 64 * 1024;  // 900 KB frames go out in fewer, larger writes
    load.create(2);
    // A small receive buffer, so the slow receiver's backlog stays with the server.
    load.conns[1]->receiveBuffer = 64 * 1024;
    if (!registerAll(load, n)) return 1;
    constexpr std::size_t kFrame = 900 * 1024;
    OpenLoop loop;
    loop.rate = 8.0 * static_cast<double>(streams);
    loop.warmNs = kSecond;
    loop.measureNs = (o.quick ? 4 : 8) * kSecond;
    for (std::size_t s = 0; s < streams; ++s) loop.senders.push_back(2 * s);
    loop.make = [&](Client& from, Stamp s) {
        return std::make_shared<const std::string>(
            mediaFrame(5, load.conns[from.partner]->number, s, kFrame));
    };

    // Its own loop rather than runOpenLoop: the slow receiver is counted apart.
    auto measure = [&](bool slow, const char* tag) {
        load.conns[1]->readRate = slow ? 2.0 * kFrame : 0;
        Histogram others, slowAge;
        std::uint64_t othersSent = 0, othersGot = 0, slowSent = 0, slowGot = 0;
        Schedule schedule(loop.rate, loop.warmNs, loop.measureNs);
        load.onStamp = [&](Client& c, const Stamp& s, std::uint64_t now) {
            if (!schedule.counted(s.sentNs)) return;
            if (c.index == 1) {
                slowAge.record(now - s.sentNs);
                ++slowGot;
            } else {
                others.record(now - s.sentNs);
                ++othersGot;
            }
        };
        const std::uint64_t baseKb = residentKb(o.pid);
        std::uint64_t peakKb = baseKb, lastSample = 0;
        std::vector<std::uint32_t> seq(n, 0);
        const std::size_t closedBefore = load.closed;
        load.every(1ms, [&] {
            const std::uint64_t now = nowNs();
            if (now - lastSample >= kSecond / 10) {
                lastSample = now;
                peakKb = std::max(peakKb, residentKb(o.pid));
            }
            return schedule.sendDue(now, [&](std::uint64_t k, std::uint64_t) {
                Client& sender = *load.conns[loop.senders[k % streams]];
                if (!sender.alive) return;
                const Stamp stamp{nowNs(), seq[sender.index]++};
                if (schedule.counted(stamp.sentNs)) ++(sender.partner == 1 ? slowSent : othersSent);
                sender.send(loop.make(sender, stamp), true);
            });
        });
        load.waitUntil([&] { return othersGot >= othersSent; }, 2s);
        peakKb = std::max(peakKb, residentKb(o.pid));
        for (std::uint64_t i = othersGot; i < othersSent; ++i) others.record(UINT64_MAX / 2);
        load.onStamp = nullptr;
        const std::string t = tag;
        char line[300];
        std::snprintf(line, sizeof line,
                      "screens (%s): others p50 %.2f ms p99 %.2f ms lost %llu; slow receiver got "
                      "%llu of %llu, age p99 %.0f ms; server memory +%.1f MB; closed %zu",
                      tag, ms(others.quantile(0.5)), ms(others.quantile(0.99)),
                      static_cast<unsigned long long>(othersSent - othersGot),
                      static_cast<unsigned long long>(slowGot),
                      static_cast<unsigned long long>(slowSent), ms(slowAge.quantile(0.99)),
                      static_cast<double>(peakKb - baseKb) / 1024.0, load.closed - closedBefore);
        note(line);
        result("screen_" + t + "_others_p50_ms", ms(others.quantile(0.5)));
        result("screen_" + t + "_others_p99_ms", ms(others.quantile(0.99)));
        result("screen_" + t + "_others_lost", static_cast<double>(othersSent - othersGot));
        if (slow) {
            result("screen_slow_delivered_pct",
                   slowSent ? 100.0 * static_cast<double>(slowGot) / static_cast<double>(slowSent)
                            : 0);
            result("screen_slow_age_p99_ms", ms(slowAge.quantile(0.99)));
            result("screen_slow_mem_mb", static_cast<double>(peakKb - baseKb) / 1024.0);
            const auto& victim = *load.conns[1];
            result("screen_slow_disconnected", victim.alive ? 0 : 1);
            if (!victim.alive)
                result("screen_slow_disconnected_after_s",
                       static_cast<double>(victim.closedAt - schedule.from) / kSecond);
        }
        // Let the slow reader catch up (or not) before the next run.
        load.conns[1]->readRate = 0;
        load.waitUntil([] { return false; }, 500ms);
    };
    measure(false, "alone");
    measure(true, "slow");
    return 0;
}

}  // namespace merrowfax::bench

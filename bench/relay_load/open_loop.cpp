#include "open_loop.h"

#include <chrono>

#include "load.h"

namespace merrowfax::bench {

using namespace std::chrono_literals;

LoopResult runOpenLoop(Load& load, const OpenLoop& loop) {
    LoopResult r;
    r.seconds = static_cast<double>(loop.measureNs) / kSecond;
    Schedule schedule(loop.rate, loop.warmNs, loop.measureNs);
    for (auto& c : load.conns) {
        c->maxSeq = 0;
        c->seenAny = false;
    }
    load.onStamp = [&](Client& c, const Stamp& s, std::uint64_t now) {
        if (c.seenAny && s.seq < c.maxSeq) {
            if (schedule.counted(s.sentNs)) ++r.reordered;
        } else {
            c.maxSeq = s.seq;
            c.seenAny = true;
        }
        if (!schedule.counted(s.sentNs)) return;
        r.latency.record(now - s.sentNs);
        ++r.received;
    };
    std::vector<std::uint32_t> seq(load.conns.size(), 0);
    std::size_t next = 0;
    load.every(200us, [&] {
        const std::uint64_t now = nowNs();
        return schedule.sendDue(now, [&](std::uint64_t, std::uint64_t when) {
            r.lag.record(now - when);
            Client& sender = *load.conns[loop.senders[next]];
            next = (next + 1) % loop.senders.size();
            const Stamp stamp{loop.stampIntended ? when : nowNs(), seq[sender.index]++};
            if (!sender.alive) return;
            if (schedule.counted(stamp.sentNs)) ++r.sent;
            sender.send(loop.make(sender, stamp), loop.binary);
        });
    });
    load.waitUntil([&] { return r.received >= r.sent; },
                   std::chrono::milliseconds(loop.drainNs / 1'000'000));
    // What never came counts as late as it can be: a lost message fails p99.
    for (std::uint64_t i = r.received; i < r.sent; ++i) r.latency.record(UINT64_MAX / 2);
    load.onStamp = nullptr;
    return r;
}

}  // namespace merrowfax::bench

#include <cstdio>

#include "clock.h"
#include "load.h"
#include "open_loop.h"
#include "report.h"
#include "scenarios.h"

namespace merrowfax::bench {

// Call audio: 680-byte frames every 21.25 ms both ways on every pair.
int audio(Load& load) {
    const auto& o = load.options;
    const std::size_t n = countOr(o, 400);
    if (!registerAll(load, n)) return 1;
    constexpr double kPeriod = 0.02125;
    OpenLoop loop;
    loop.rate = static_cast<double>(n) / kPeriod;
    loop.warmNs = kSecond;
    loop.measureNs = (o.quick ? 4 : 10) * kSecond;
    loop.stampIntended = false;
    loop.binary = true;
    loop.senders = everyone(n);
    loop.make = [&](Client& from, Stamp s) {
        return std::make_shared<const std::string>(
            mediaFrame(2, load.conns[from.partner]->number, s, 680));
    };
    const auto r = runOpenLoop(load, loop);
    char line[200];
    std::snprintf(line, sizeof line,
                  "audio: %llu frames, p50 %.3f ms p99 %.3f ms max %.3f ms, lost %llu, "
                  "reordered %llu",
                  static_cast<unsigned long long>(r.sent), ms(r.latency.quantile(0.5)),
                  ms(r.latency.quantile(0.99)), ms(r.latency.max()),
                  static_cast<unsigned long long>(r.sent - r.received),
                  static_cast<unsigned long long>(r.reordered));
    note(line);
    result("audio_frames", static_cast<double>(r.sent));
    result("audio_p50_ms", ms(r.latency.quantile(0.5)));
    result("audio_p99_ms", ms(r.latency.quantile(0.99)));
    result("audio_lost", static_cast<double>(r.sent - r.received));
    result("audio_reordered", static_cast<double>(r.reordered));
    result("closed", static_cast<double>(load.closed));
    return 0;
}

}  // namespace merrowfax::bench

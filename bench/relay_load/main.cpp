// relay_load: drives a relay with WebSocket clients on loopback and measures
// what they see. One process, one thread, one steady clock: every latency is
// the receiving client's clock reading minus the stamp the sending client put
// in the payload. Two adapters: merrowfax-relay's live endpoint, and
// nats-server's WebSocket listener speaking the NATS text protocol, where each
// number subscribes to its own subject and publishes to its partner's.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "addressing.h"
#include "clock.h"
#include "histogram.h"
#include "load.h"
#include "numbers/virtual_number.h"
#include "options.h"
#include "payload.h"
#include "process_memory.h"
#include "report.h"

namespace merrowfax::bench {
namespace {

using namespace std::chrono_literals;

std::uint64_t splitmix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

// --- open loop -------------------------------------------------------------

// Sends at a fixed total rate, round robin over `senders`, each message to its
// sender's partner. Message k is due at start + k / rate whatever happened to
// the ones before it.
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

LoopResult runOpenLoop(Load& load, const OpenLoop& loop) {
    LoopResult r;
    r.seconds = static_cast<double>(loop.measureNs) / kSecond;
    const std::uint64_t start = nowNs() + 1'000'000;
    const std::uint64_t from = start + loop.warmNs;
    const std::uint64_t until = from + loop.measureNs;
    for (auto& c : load.conns) {
        c->maxSeq = 0;
        c->seenAny = false;
    }
    load.onStamp = [&](Client& c, const Stamp& s, std::uint64_t now) {
        if (c.seenAny && s.seq < c.maxSeq) {
            if (s.sentNs >= from && s.sentNs < until) ++r.reordered;
        } else {
            c.maxSeq = s.seq;
            c.seenAny = true;
        }
        if (s.sentNs < from || s.sentNs >= until) return;
        r.latency.record(now - s.sentNs);
        ++r.received;
    };
    std::vector<std::uint32_t> seq(load.conns.size(), 0);
    std::uint64_t k = 0;
    std::size_t next = 0;
    const double interval = kSecond / loop.rate;
    load.every(200us, [&] {
        const std::uint64_t now = nowNs();
        if (now < start) return true;
        const auto due =
            static_cast<std::uint64_t>(static_cast<double>(now - start) / interval) + 1;
        for (; k < due; ++k) {
            const auto when = start + static_cast<std::uint64_t>(static_cast<double>(k) * interval);
            if (when >= until) return false;
            r.lag.record(now - when);
            Client& from_ = *load.conns[loop.senders[next]];
            next = (next + 1) % loop.senders.size();
            const Stamp stamp{loop.stampIntended ? when : nowNs(), seq[from_.index]++};
            if (!from_.alive) continue;
            if (stamp.sentNs >= from && stamp.sentNs < until) ++r.sent;
            from_.send(loop.make(from_, stamp), loop.binary);
        }
        return true;
    });
    load.waitUntil([&] { return r.received >= r.sent; },
                   std::chrono::milliseconds(loop.drainNs / 1'000'000));
    // What never came counts as late as it can be: a lost message fails p99.
    for (std::uint64_t i = r.received; i < r.sent; ++i) r.latency.record(UINT64_MAX / 2);
    load.onStamp = nullptr;
    return r;
}

// --- scenarios --------------------------------------------------------------

std::size_t countOr(const Options& o, std::size_t fallback) {
    return o.connections ? o.connections : fallback;
}

std::vector<std::size_t> everyone(std::size_t n) {
    std::vector<std::size_t> out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = i;
    return out;
}

bool registerAll(Load& load, std::size_t n) {
    const auto t0 = nowNs();
    if (!load.connect(0, n, 120s)) return false;
    result("registrations_per_s",
           static_cast<double>(n) * kSecond / static_cast<double>(nowNs() - t0));
    return true;
}

// Texts: the highest delivered rate whose p99 stays within 10 ms. Doubling
// until a step fails, then halving the gap a few times.
int texts(Load& load) {
    const auto& o = load.options;
    const std::size_t n = countOr(o, 1000);
    if (!registerAll(load, n)) return 1;
    std::uint64_t ids = 0x5eed;
    OpenLoop loop;
    loop.warmNs = kSecond / 2;
    loop.measureNs = o.quick ? kSecond : 2 * kSecond;
    loop.drainNs = kSecond;
    loop.senders = everyone(n);
    loop.make = [&](Client& from, Stamp s) {
        const auto& to = load.conns[from.partner]->number;
        return std::make_shared<const std::string>(
            textRecord(to, upperUuid(splitmix(ids), splitmix(ids)), s, unixNow(), 300));
    };
    constexpr std::uint64_t kBudget = 10'000'000;
    double best = 0, bestP99 = 0, bestP50 = 0;
    auto step = [&](double rate) {
        loop.rate = rate;
        const auto r = runOpenLoop(load, loop);
        const double delivered = static_cast<double>(r.received) / r.seconds;
        const auto p99 = r.latency.quantile(0.99);
        const bool pass = p99 <= kBudget && r.received == r.sent;
        char line[200];
        std::snprintf(line, sizeof line,
                      "texts %.0f/s: delivered %.0f/s p50 %.3f ms p99 %.3f ms lost %llu "
                      "generator lag p99 %.2f ms %s",
                      rate, delivered, ms(r.latency.quantile(0.5)),
                      p99 > 100 * kBudget ? INFINITY : ms(p99),
                      static_cast<unsigned long long>(r.sent - r.received),
                      ms(r.lag.quantile(0.99)), pass ? "ok" : "over");
        note(line);
        if (pass && delivered > best) {
            best = delivered;
            bestP99 = ms(p99);
            bestP50 = ms(r.latency.quantile(0.5));
        }
        // Let queues empty before the next step.
        load.waitUntil([] { return false; }, 300ms);
        return pass;
    };
    if (o.rate > 0) {
        step(o.rate);
        return 0;
    }
    double low = 0, high = 0;
    for (double rate = 5000; rate <= 640'000; rate *= 2) {
        if (!step(rate)) {
            high = rate;
            break;
        }
        low = rate;
    }
    if (high > 0 && low > 0) {
        for (int i = 0; i < (o.quick ? 2 : 4); ++i) {
            const double mid = (low + high) / 2;
            if (step(mid)) {
                low = mid;
            } else {
                high = mid;
            }
        }
    }
    result("text_rate", best);
    result("text_p50_ms", bestP50);
    result("text_p99_ms", bestP99);
    result("closed", static_cast<double>(load.closed));
    return 0;
}

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
        const std::uint64_t start = nowNs() + 1'000'000;
        const std::uint64_t from = start + loop.warmNs;
        const std::uint64_t until = from + loop.measureNs;
        load.onStamp = [&](Client& c, const Stamp& s, std::uint64_t now) {
            if (s.sentNs < from || s.sentNs >= until) return;
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
        std::uint64_t k = 0;
        const double interval = kSecond / loop.rate;
        const std::size_t closedBefore = load.closed;
        load.every(1ms, [&] {
            const std::uint64_t now = nowNs();
            if (now - lastSample >= kSecond / 10) {
                lastSample = now;
                peakKb = std::max(peakKb, residentKb(o.pid));
            }
            if (now < start) return true;
            const auto due =
                static_cast<std::uint64_t>(static_cast<double>(now - start) / interval) + 1;
            for (; k < due; ++k) {
                if (start + static_cast<std::uint64_t>(static_cast<double>(k) * interval) >= until)
                    return false;
                Client& sender = *load.conns[loop.senders[k % streams]];
                if (!sender.alive) continue;
                const Stamp stamp{nowNs(), seq[sender.index]++};
                const bool counted = stamp.sentNs >= from && stamp.sentNs < until;
                if (counted) ++(sender.partner == 1 ? slowSent : othersSent);
                sender.send(loop.make(sender, stamp), true);
            }
            return true;
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
        result(("screen_" + t + "_others_p50_ms").c_str(), ms(others.quantile(0.5)));
        result(("screen_" + t + "_others_p99_ms").c_str(), ms(others.quantile(0.99)));
        result(("screen_" + t + "_others_lost").c_str(),
               static_cast<double>(othersSent - othersGot));
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
                       static_cast<double>(victim.closedAt - from) / kSecond);
        }
        // Let the slow reader catch up (or not) before the next run.
        load.conns[1]->readRate = 0;
        load.waitUntil([] { return false; }, 500ms);
    };
    measure(false, "alone");
    measure(true, "slow");
    return 0;
}

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

int usage() {
    std::fputs(
        "usage: relay_load --server ours|nats --port PORT --scenario texts|audio|screens|idle\n"
        "                  [--host 127.0.0.1] [--pid SERVER_PID] [--quick]\n"
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

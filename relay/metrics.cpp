#include "relay/metrics.h"

#include <cstdio>

#include <boost/asio/ip/address.hpp>

namespace merrowfax::relay {
namespace {

constexpr std::string_view kPrefix = "merrowfax_relay_";

std::uint64_t read(const Counter& counter) {
    return counter.load(std::memory_order_relaxed);
}

void family(std::string& out, std::string_view name, const char* type, const char* help) {
    out.append("# HELP ").append(kPrefix).append(name).append(" ").append(help).append("\n");
    out.append("# TYPE ").append(kPrefix).append(name).append(" ").append(type).append("\n");
}

// One sample; `labels` is empty or `key="value"`, fixed by this file.
void sample(std::string& out, std::string_view name, std::string_view labels,
            std::string_view value) {
    out.append(kPrefix).append(name);
    if (!labels.empty()) out.append("{").append(labels).append("}");
    out.append(" ").append(value).append("\n");
}

void sample(std::string& out, std::string_view name, std::string_view labels, std::int64_t value) {
    sample(out, name, labels, std::to_string(value));
}

void counter(std::string& out, std::string_view name, const char* help, const Counter& value) {
    family(out, name, "counter", help);
    sample(out, name, "", static_cast<std::int64_t>(read(value)));
}

struct Labelled {
    const char* labels;
    const Counter& value;
};

void counters(std::string& out, std::string_view name, const char* help,
              std::initializer_list<Labelled> rows) {
    family(out, name, "counter", help);
    for (const auto& row : rows)
        sample(out, name, row.labels, static_cast<std::int64_t>(read(row.value)));
}

std::string seconds(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

}  // namespace

void Histogram::observe(std::chrono::nanoseconds duration) {
    const double s = std::chrono::duration<double>(duration).count();
    std::size_t i = 0;
    while (i < kBounds.size() && s > kBounds[i]) ++i;
    bump(buckets_[i]);
    bump(nanos_, static_cast<std::uint64_t>(std::max<std::int64_t>(0, duration.count())));
}

void Histogram::render(std::string& out, std::string_view name) const {
    const std::string bucket = std::string(name) + "_bucket";
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < buckets_.size(); ++i) {
        total += read(buckets_[i]);
        const std::string le = i < kBounds.size() ? seconds(kBounds[i]) : "+Inf";
        sample(out, bucket, "le=\"" + le + "\"", static_cast<std::int64_t>(total));
    }
    sample(out, std::string(name) + "_sum", "", seconds(static_cast<double>(read(nanos_)) / 1e9));
    sample(out, std::string(name) + "_count", "", static_cast<std::int64_t>(total));
}

std::string Metrics::render(std::size_t storeQueued) const {
    std::string out;
    out.reserve(6 * 1024);
    family(out, "connections_open", "gauge", "TCP connections open, HTTP and WebSocket.");
    sample(out, "connections_open", "", connectionsOpen.load(std::memory_order_relaxed));
    counter(out, "connections_accepted_total", "TCP connections accepted.", connectionsAccepted);
    counter(out, "connections_refused_total",
            "TCP connections refused: too many open from one address.", connectionsRefused);
    family(out, "live_connections", "gauge", "Registered connections on the live endpoint.");
    sample(out, "live_connections", "", liveOpen.load(std::memory_order_relaxed));
    counters(out, "registrations_total",
             "Registrations on the live endpoint by outcome: ok, denied (answered why), busy "
             "(queues full, closed with try again later).",
             {{"result=\"ok\"", registrationsOk},
              {"result=\"denied\"", registrationsDenied},
              {"result=\"busy\"", registrationsBusy}});
    counters(out, "pin_decisions_total",
             "PIN decisions: accepted, rejected (wrong), locked (too many wrong, not checked), "
             "missing (none given for a guarded number), set (a PIN stored).",
             {{"result=\"accepted\"", pinAccepted},
              {"result=\"rejected\"", pinRejected},
              {"result=\"locked\"", pinLocked},
              {"result=\"missing\"", pinMissing},
              {"result=\"set\"", pinSet}});
    counters(out, "received_messages_total", "WebSocket messages received from clients.",
             {{"type=\"text\"", inText.messages}, {"type=\"binary\"", inBinary.messages}});
    counters(out, "received_bytes_total", "Payload bytes of WebSocket messages received.",
             {{"type=\"text\"", inText.bytes}, {"type=\"binary\"", inBinary.bytes}});
    counters(out, "sent_messages_total", "WebSocket messages sent to clients.",
             {{"type=\"text\"", outText.messages}, {"type=\"binary\"", outBinary.messages}});
    counters(out, "sent_bytes_total", "Payload bytes of WebSocket messages sent.",
             {{"type=\"text\"", outText.bytes}, {"type=\"binary\"", outBinary.bytes}});
    counter(out, "media_dropped_total", "Media frames and records a full send queue dropped.",
            mediaDropped);
    counters(out, "throttled_total",
             "Requests refused by a rate limit: records per connection, computer lookups and "
             "directory pages per address, trust changes per connection.",
             {{"what=\"record\"", recordsThrottled},
              {"what=\"lookup\"", lookupsThrottled},
              {"what=\"page\"", pagesThrottled},
              {"what=\"trust\"", trustThrottled}});
    counter(out, "flooders_cut_total", "Connections closed for sending far over their rate.",
            floodersCut);
    counters(out, "slow_readers_cut_total",
             "Connections closed for not reading: their own queue full of records, or the "
             "slowest over the shared send budget.",
             {{"limit=\"queue\"", slowCutQueue}, {"limit=\"budget\"", slowCutBudget}});
    counter(out, "lookups_total", "Computer lookups and forgets asked for.", lookups);
    counter(out, "directory_requests_total", "Directory pages asked for.", directoryPages);
    counter(out, "store_jobs_refused_total", "Storage jobs refused: the queue was full.",
            storeRefused);
    family(out, "store_queue", "gauge", "Storage jobs queued or running.");
    sample(out, "store_queue", "", static_cast<std::int64_t>(storeQueued));
    family(out, "cluster_connected", "gauge", "1 while this node reaches NATS (with --nats).");
    sample(out, "cluster_connected", "", clusterConnected.load(std::memory_order_relaxed));
    family(out, "cluster_nodes", "gauge", "Other nodes of the cluster heard within the lease.");
    sample(out, "cluster_nodes", "", clusterNodes.load(std::memory_order_relaxed));
    counters(out, "cluster_messages_total", "Messages this node published to NATS or took from it.",
             {{"way=\"out\"", clusterOut}, {"way=\"in\"", clusterIn}});
    counter(out, "cluster_rejected_total",
            "Messages from other nodes dropped as malformed or out of bounds.", clusterRejected);
    counter(out, "cluster_missed_total",
            "Records sent towards other nodes that none took: the sender heard miss.",
            clusterMissed);
    family(out, "store_job_duration_seconds", "histogram",
           "How long storage jobs ran on the storage pool.");
    storeSeconds.render(out, "store_job_duration_seconds");
    return out;
}

bool isLoopback(std::string_view address) {
    boost::system::error_code ec;
    const auto ip = boost::asio::ip::make_address(std::string(address), ec);
    if (ec) return false;
    if (ip.is_v6() && ip.to_v6().is_v4_mapped())
        return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, ip.to_v6())
            .is_loopback();
    return ip.is_loopback();
}

}  // namespace merrowfax::relay

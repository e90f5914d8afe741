#include "relay/nats_hub.h"

#include <algorithm>
#include <charconv>
#include <stdexcept>
#include <utility>

#include "relay/log.h"

namespace merrowfax::relay {
using namespace cluster;
namespace {

constexpr std::size_t kMaxNodes = 256;          // other nodes remembered at once
constexpr std::size_t kMaxGone = 64;            // nodes given up on, remembered
constexpr std::size_t kMaxPending = 64 * 1024;  // records waiting for an answer

std::int64_t steadyMs() {
    return std::chrono::duration_cast<Millis>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string_view body(natsMsg* msg) {
    const char* data = natsMsg_GetData(msg);
    const int size = natsMsg_GetDataLength(msg);
    return data && size > 0 ? std::string_view(data, static_cast<std::size_t>(size))
                            : std::string_view();
}

void check(natsStatus status, const char* what) {
    if (status != NATS_OK)
        throw std::runtime_error(std::string(what) + ": " + natsStatus_GetText(status));
}

void unsubscribe(natsSubscription*& sub) {
    if (!sub) return;
    natsSubscription_Unsubscribe(sub);
    natsSubscription_Destroy(sub);
    sub = nullptr;
}

}  // namespace

template <void (NatsHub::*handler)(natsMsg*)>
void NatsHub::dispatch(natsConnection*, natsSubscription*, natsMsg* msg, void* self) {
    auto* hub = static_cast<NatsHub*>(self);
    try {
        if (!hub->closing_) {
            bump(hub->metrics_.clusterIn);
            (hub->*handler)(msg);
        }
    } catch (const std::exception& e) {
        logEvent(Level::error, "cluster_failed", {{"error", e.what()}});
    } catch (...) {
        logEvent(Level::error, "cluster_failed");
    }
    natsMsg_Destroy(msg);
}

NatsHub::NatsHub(const Config& config, Metrics& metrics)
    : MemoryHub(config.maxPerNumber, config.maxExchanged),
      config_(config),
      metrics_(metrics),
      node_(newNodeId()),
      ackPrefix_(std::string(kAcks) + node_ + ".") {
    check(natsOptions_Create(&options_), "NATS options");
    std::vector<std::string> servers;
    for (std::size_t start = 0; start <= config.natsUrl.size();) {
        const auto comma = std::min(config.natsUrl.find(',', start), config.natsUrl.size());
        if (comma > start) servers.push_back(config.natsUrl.substr(start, comma - start));
        start = comma + 1;
    }
    std::vector<const char*> urls;
    for (const auto& s : servers) urls.push_back(s.c_str());
    check(natsOptions_SetServers(options_, urls.data(), static_cast<int>(urls.size())),
          "NATS server list");
    const std::int64_t reconnect = config.natsReconnect.count();
    natsOptions_SetName(options_, ("merrowfax-relay " + node_).c_str());
    // Our own messages never come back: local connections were served already.
    natsOptions_SetNoEcho(options_, true);
    // Written at once, not when the library's flusher wakes: that batching
    // added about a millisecond to every record (p50) and bought no rate.
    natsOptions_SetSendAsap(options_, true);
    // One delivery thread for every subscription, not one each per number.
    natsOptions_UseGlobalMessageDelivery(options_, true);
    natsOptions_SetMaxReconnect(options_, -1);
    natsOptions_SetReconnectWait(options_, reconnect);
    natsOptions_SetReconnectJitter(options_, reconnect / 4, reconnect / 4);
    natsOptions_SetTimeout(options_, config.natsLease.count());
    natsOptions_SetPingInterval(options_, config.natsLease.count());
    natsOptions_SetMaxPingsOut(options_, 2);
    auto up = [](natsConnection*, void* self) {
        static_cast<NatsHub*>(self)->onLink(true);
    };
    auto down = [](natsConnection*, void* self) {
        static_cast<NatsHub*>(self)->onLink(false);
    };
    natsOptions_SetRetryOnFailedConnect(options_, true, up, this);
    natsOptions_SetReconnectedCB(options_, up, this);
    natsOptions_SetDisconnectedCB(options_, down, this);
    natsOptions_SetErrorHandler(
        options_,
        [](natsConnection*, natsSubscription*, natsStatus status, void*) {
            logEvent(Level::warning, "cluster_error", {{"error", natsStatus_GetText(status)}});
        },
        nullptr);
    const natsStatus status = natsConnection_Connect(&nc_, options_);
    if (status != NATS_OK && status != NATS_NOT_YET_CONNECTED) {
        natsOptions_Destroy(options_);
        throw std::runtime_error(std::string("cannot use NATS at ") + config.natsUrl + ": " +
                                 natsStatus_GetText(status));
    }
    if (status == NATS_OK) {
        connected_ = true;
        move(metrics_.clusterConnected, 1);
    } else {
        logEvent(Level::warning, "nats_unreachable", {{"node", node_}});
    }
    beats_ = subscribe(kBeats, &dispatch<&NatsHub::onBeat>, 4096, 1 << 20);
    acks_ = subscribe(ackPrefix_ + "*", &dispatch<&NatsHub::onAck>, 1 << 16, 16 << 20);
    if (!beats_ || !acks_) throw std::runtime_error("cannot subscribe on NATS");
    logEvent(Level::info, "cluster", {{"node", node_}});
    runner_ = std::thread([this] { run(); });
}

NatsHub::~NatsHub() {
    {
        std::lock_guard guard(runLock_);
        stop_ = true;
    }
    wake_.notify_all();
    runner_.join();
    // The others forget this node now rather than after the lease.
    if (connected_) {
        publish(kBeats, encodeBeat(node_, true));
        natsConnection_FlushTimeout(nc_, std::max<std::int64_t>(1, config_.shutdownGrace.count()));
    }
    closing_ = true;
    natsConnection_Close(nc_);
    {
        std::lock_guard guard(lock_);
        for (auto& [number, subs] : subs_) {
            if (subs.inbox) natsSubscription_Destroy(subs.inbox);
            if (subs.state) natsSubscription_Destroy(subs.state);
        }
        subs_.clear();
    }
    if (beats_) natsSubscription_Destroy(beats_);
    if (acks_) natsSubscription_Destroy(acks_);
    natsConnection_Destroy(nc_);
    natsOptions_Destroy(options_);
    // No callback of the library runs once this returns.
    nats_CloseAndWait(std::max<std::int64_t>(1, config_.shutdownGrace.count()));
}

natsSubscription* NatsHub::subscribe(const std::string& subject, natsMsgHandler handler,
                                     int messages, int bytes) {
    natsSubscription* sub = nullptr;
    const natsStatus status = natsConnection_Subscribe(&sub, nc_, subject.c_str(), handler, this);
    if (status != NATS_OK) {
        logEvent(Level::warning, "cluster_subscribe_failed",
                 {{"error", natsStatus_GetText(status)}});
        return nullptr;
    }
    // What waits for the delivery thread is bounded per subject; beyond it the
    // library drops (and a record that waited for an answer answers "miss").
    natsSubscription_SetPendingLimits(sub, messages, bytes);
    return sub;
}

bool NatsHub::publish(const std::string& subject, std::string_view data, const char* reply) {
    const int size = static_cast<int>(data.size());
    const natsStatus status =
        reply ? natsConnection_PublishRequest(nc_, subject.c_str(), reply, data.data(), size)
              : natsConnection_Publish(nc_, subject.c_str(), data.data(), size);
    if (status != NATS_OK) return false;
    bump(metrics_.clusterOut);
    return true;
}

void NatsHub::reject(const char* why) {
    bump(metrics_.clusterRejected);
    logEvent(Level::warning, "cluster_rejected", {{"why", why}});
}

// --- what other nodes hold -------------------------------------------------

const MemoryHub::Book* NatsHub::elsewhere(const std::string& number) const {
    const auto it = remote_.find(number);
    return it == remote_.end() ? nullptr : &it->second.book;
}

// Whether a connection of `to` may be on another node: known to be, or not
// followed long enough for silence to mean nobody.
bool NatsHub::mayBeElsewhere(const std::string& to, std::int64_t now) const {
    if (remote_.contains(to)) return true;
    const auto subs = subs_.find(to);
    if (subs == subs_.end() || !subs->second.state) return true;
    return now - std::max(subs->second.sinceMs, resyncFromMs_) < config_.natsAnswer.count();
}

void NatsHub::watchState(const std::string& number, Subs& subs) {
    if (subs.state) return;
    subs.state =
        subscribe(std::string(kState) + number, &dispatch<&NatsHub::onState>, 256, 8 << 20);
    subs.sinceMs = steadyMs();
    query(number);
}

void NatsHub::query(const std::string& number) {
    if (!connected_) return;
    publish(std::string(kInbox) + number, std::string{kQuery, '\0'});
}

// What reaches a number held here, its pending messages bounded by a few
// connections' send queues.
void NatsHub::holdInbox(const std::string& number, Subs& subs) {
    if (subs.inbox) return;
    subs.inbox = subscribe(
        std::string(kInbox) + number, &dispatch<&NatsHub::onInbox>,
        static_cast<int>(4 * config_.sendQueueRecords),
        static_cast<int>(std::min<std::size_t>(2 * config_.sendQueueBytes, std::size_t{1} << 30)));
}

void NatsHub::connsChanged(const std::string& number, Updates& out) {
    const bool here = byNumber_.contains(number);
    if (here) {
        auto& subs = subs_[number];
        holdInbox(number, subs);
        // Also asks the other nodes holding it: the limit counts theirs too.
        watchState(number, subs);
        rebalance(number, out);
    }
    announce(number, false);
    // A connection still waiting to be admitted needs the subscriptions too.
    if (here || byNumber_.contains(number) ||
        std::any_of(waiting_.begin(), waiting_.end(),
                    [&](const auto& w) { return w.second.number == number; }))
        return;
    const auto subs = subs_.find(number);
    if (subs == subs_.end()) return;
    unsubscribe(subs->second.inbox);
    if (watchers_.contains(number)) return;
    unsubscribe(subs->second.state);
    subs_.erase(subs);
    remote_.erase(number);
}

void NatsHub::followingChanged(const std::string& target, bool following) {
    if (following) return watchState(target, subs_[target]);
    if (byNumber_.contains(target)) return;
    if (const auto subs = subs_.find(target); subs != subs_.end()) {
        unsubscribe(subs->second.inbox);
        unsubscribe(subs->second.state);
        subs_.erase(subs);
    }
    remote_.erase(target);
}

// The connections of `number` here (none: it left this node) and its book.
void NatsHub::announce(const std::string& number, bool bookSet) {
    if (!connected_) return;
    std::vector<ConnKey> keys;
    if (const auto ids = byNumber_.find(number); ids != byNumber_.end())
        for (PeerId id : ids->second) keys.push_back({conns_[id].sinceMs, id});
    const auto book = books_.find(number);
    const bool has = book != books_.end();
    publish(std::string(kState) + number,
            encodeState(node_, keys, has ? &book->second.numbers : nullptr,
                        has ? &book->second.blocked : nullptr, has && bookSet));
}

// The per-number limit over the whole cluster: beyond it the oldest
// connections go, wherever they are; each node closes its own, so all of
// them, seeing the same announcements, agree. Ties of time go by node.
void NatsHub::rebalance(const std::string& number, Updates& out) {
    const auto remote = remote_.find(number);
    const auto local = byNumber_.find(number);
    if (rebalancing_ || remote == remote_.end() || local == byNumber_.end()) return;
    struct Entry {
        std::int64_t sinceMs;
        const std::string* node;
        std::uint64_t order;
        PeerId id;  // 0: on another node
    };
    std::vector<Entry> entries;
    for (PeerId id : local->second) entries.push_back({conns_[id].sinceMs, &node_, id, id});
    for (const auto& [node, host] : remote->second.hosts)
        for (const auto& key : host.conns) entries.push_back({key.sinceMs, &node, key.order, 0});
    if (entries.size() <= maxPerNumber_) return;
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        if (a.sinceMs != b.sinceMs) return a.sinceMs < b.sinceMs;
        if (*a.node != *b.node) return *a.node < *b.node;
        return a.order < b.order;
    });
    rebalancing_ = true;
    for (std::size_t i = 0; i < entries.size() - maxPerNumber_; ++i) {
        if (!entries[i].id) continue;
        if (auto peer = conns_[entries[i].id].peer.lock()) peer->kick(1008);
        remove(entries[i].id, out);
    }
    rebalancing_ = false;
}

// True when `node` is (now) one this node listens to.
bool NatsHub::heard(const std::string& node, std::int64_t now) {
    if (const auto it = nodes_.find(node); it != nodes_.end()) {
        it->second = now;
        return true;
    }
    if (nodes_.size() >= kMaxNodes) return false;
    nodes_.emplace(node, now);
    move(metrics_.clusterNodes, 1);
    // Back after this node gave up on it (a partition, a slow node): what it
    // holds was forgotten here, so ask again.
    if (const auto it = std::find(gone_.begin(), gone_.end(), node); it != gone_.end()) {
        gone_.erase(it);
        for (const auto& [number, subs] : subs_)
            if (subs.state) query(number);
    }
    return true;
}

void NatsHub::forget(const std::string& node, Updates& out) {
    if (nodes_.erase(node)) move(metrics_.clusterNodes, -1);
    gone_.push_back(node);
    if (gone_.size() > kMaxGone) gone_.pop_front();
    std::vector<std::string> offline;
    for (auto& [number, remote] : remote_)
        if (remote.hosts.erase(node) && remote.hosts.empty()) offline.push_back(number);
    for (const auto& number : offline) {
        remote_.erase(number);
        refreshWatchers(number, out);
    }
}

// --- connections ----------------------------------------------------------------

// The first connection of a number here waits until NATS has its number's
// subscription (one round trip, on the runner thread, for all that wait):
// only then does it hear "pin", and a record sent from another node right
// after finds it.
void NatsHub::attach(PeerId id, const std::string& number, const std::string& computer,
                     std::weak_ptr<Peer> peer, const BookNumbers& book) {
    bool waits = false;
    {
        std::lock_guard guard(lock_);
        auto& subs = subs_[number];
        waits = connected_ && !byNumber_.contains(number);
        if (waits) {
            holdInbox(number, subs);
            watchState(number, subs);
            waiting_.emplace(id, Waiting{number, computer, std::move(peer), book});
        }
    }
    if (!waits) return MemoryHub::attach(id, number, computer, std::move(peer), book);
    {
        std::lock_guard guard(runLock_);
        admit_ = true;
    }
    wake_.notify_all();
}

void NatsHub::detach(PeerId id) {
    Updates updates;
    {
        std::lock_guard guard(lock_);
        const auto it = waiting_.find(id);
        if (it == waiting_.end()) {
            remove(id, updates);
        } else {
            const std::string number = std::move(it->second.number);
            waiting_.erase(it);
            connsChanged(number, updates);  // drops the subscriptions if nothing else needs them
        }
    }
    MemoryHub::send(updates);
}

void NatsHub::admitWaiting() {
    std::vector<PeerId> batch;
    {
        std::lock_guard guard(lock_);
        for (const auto& [id, w] : waiting_) batch.push_back(id);
    }
    if (batch.empty()) return;
    // PING and PONG: everything written before, the subscriptions among it, is in place.
    if (connected_) natsConnection_FlushTimeout(nc_, config_.natsAnswer.count());
    Updates updates;
    std::vector<std::shared_ptr<Peer>> displaced;
    {
        std::lock_guard guard(lock_);
        for (PeerId id : batch) {
            const auto it = waiting_.find(id);
            if (it == waiting_.end()) continue;  // gone meanwhile
            Waiting w = std::move(it->second);
            waiting_.erase(it);
            // Posted to its strand before anything delivered to it can be; its
            // "pin" finds the hub locked until the connection is in.
            if (auto p = w.peer.lock()) p->reachable();
            attachLocked(id, w.number, w.computer, std::move(w.peer), w.book, updates, displaced);
        }
    }
    for (auto& p : displaced) p->kick(1008);
    MemoryHub::send(updates);
}

// --- the data path -------------------------------------------------------------

void NatsHub::forward(PeerId from, const std::string& to,
                      std::shared_ptr<const std::string> stamped, Cargo cargo) {
    Peers peers;
    Updates updates;
    std::shared_ptr<Peer> sender;
    std::string self;
    bool out = false;
    {
        std::lock_guard guard(lock_);
        if (const Conn* conn = exchange(from, to, peers, updates)) {
            self = conn->number;
            out = mayBeElsewhere(to, steadyMs());
            if (peers.empty() && cargo != Cargo::frame) sender = conn->peer.lock();
        }
    }
    MemoryHub::send(updates);
    for (const auto& peer : peers) {
        if (cargo == Cargo::frame) {
            peer->deliverBinary(stamped);
        } else {
            peer->deliverText(stamped, cargo == Cargo::mediaRecord);
        }
    }
    if (!out) {
        if (sender) sender->missed(to);
        return;
    }
    // During a gap in the link nothing waits to be sent later: records answer
    // "miss" at once (the sender tries again), media is lost as on a bad line.
    if (!connected_) {
        if (sender) missed(sender, to);
        return;
    }
    thread_local std::string subject, body, reply;
    subject.assign(kInbox);
    subject += to;
    envelope(body,
             cargo == Cargo::frame         ? kFrame
             : cargo == Cargo::mediaRecord ? kMediaRecord
                                           : kRecord,
             self, *stamped);
    const std::uint64_t token = sender ? await(sender, to) : 0;
    if (token) {
        reply.assign(ackPrefix_);
        char digits[24];
        reply.append(digits, std::to_chars(digits, digits + sizeof digits, token).ptr);
    }
    if (publish(subject, body, token ? reply.c_str() : nullptr) || !token) return;
    {
        std::lock_guard guard(acksLock_);
        pending_.erase(token);
    }
    missed(sender, to);
}

std::uint64_t NatsHub::await(const std::shared_ptr<Peer>& sender, const std::string& to) {
    std::lock_guard guard(acksLock_);
    // Beyond the bound a record goes without asking: at worst its miss is lost.
    if (pending_.size() >= kMaxPending) return 0;
    const std::uint64_t token = nextToken_++;
    pending_.emplace(token, Pending{sender, to});
    due_.emplace_back(steadyMs() + config_.natsAnswer.count(), token);
    return token;
}

void NatsHub::missed(const std::shared_ptr<Peer>& sender, const std::string& to) {
    bump(metrics_.clusterMissed);
    sender->missed(to);
}

void NatsHub::onAck(natsMsg* msg) {
    const std::string_view subject = natsMsg_GetSubject(msg);
    std::uint64_t token = 0;
    const auto digits = subject.substr(std::min(ackPrefix_.size(), subject.size()));
    if (std::from_chars(digits.data(), digits.data() + digits.size(), token).ec != std::errc{})
        return reject("bad answer");
    Pending pending;
    {
        std::lock_guard guard(acksLock_);
        const auto it = pending_.find(token);
        if (it == pending_.end()) return;  // answered already, or given up
        pending = std::move(it->second);
        pending_.erase(it);
    }
    if (!natsMsg_IsNoResponders(msg)) return;
    if (auto sender = pending.sender.lock()) missed(sender, pending.to);
}

void NatsHub::onInbox(natsMsg* msg) {
    const std::string_view subject = natsMsg_GetSubject(msg);
    if (subject.size() <= kInbox.size()) return reject("bad subject");
    const std::string to(subject.substr(kInbox.size()));
    const auto in = openEnvelope(body(msg), to, config_.maxTextMessage, config_.maxBinaryMessage);
    if (!in) return reject("bad message");
    if (in->kind == kQuery) {
        std::lock_guard guard(lock_);
        if (byNumber_.contains(to)) announce(to, false);
        return;
    }
    if (in->kind == kClosing) {
        const auto closing = parseClosing(in->payload);
        if (!closing) return reject("bad closing");
        return MemoryHub::closeComputers(to, closing->computers, closing->allBut);
    }
    const char kind = in->kind;
    const std::string_view payload = in->payload;
    Peers peers;
    Updates updates;
    {
        std::lock_guard guard(lock_);
        arrived(std::string(in->sender), to, peers, updates);
    }
    MemoryHub::send(updates);
    if (peers.empty()) return;  // no answer: the sender's node waits, then says "miss"
    const auto shared = std::make_shared<const std::string>(payload);
    for (const auto& peer : peers) {
        if (kind == kFrame) {
            peer->deliverBinary(shared);
        } else {
            peer->deliverText(shared, kind == kMediaRecord);
        }
    }
    const char* reply = natsMsg_GetReply(msg);
    if (kind != kFrame && reply && std::string_view(reply).starts_with(kAcks) &&
        std::string_view(reply).size() <= kAcks.size() + kNodeId + 24)
        publish(reply, {});
}

// --- presence and state ----------------------------------------------------------

void NatsHub::onState(natsMsg* msg) {
    const std::string_view subject = natsMsg_GetSubject(msg);
    if (subject.size() <= kState.size()) return reject("bad subject");
    const std::string number(subject.substr(kState.size()));
    auto state = parseState(body(msg), maxPerNumber_, config_.maxBookEntries);
    if (!state) return reject("bad state");
    if (state->node == node_) return;
    Updates updates;
    {
        std::lock_guard guard(lock_);
        const std::string& from = state->node;
        const std::int64_t now = steadyMs();
        if (!heard(from, now)) return;
        const auto subs = subs_.find(number);
        if (subs == subs_.end() || !subs->second.state) return;  // no longer of interest here
        if (state->conns.empty()) {
            if (const auto remote = remote_.find(number); remote != remote_.end()) {
                remote->second.hosts.erase(from);
                if (remote->second.hosts.empty()) remote_.erase(remote);
            }
        } else {
            auto& remote = remote_[number];
            remote.hosts[from] = Host{std::move(state->conns), now};
            remote.book.numbers = {state->book.begin(), state->book.end()};
            remote.book.blocked = {state->blocked.begin(), state->blocked.end()};
        }
        // A book a connection set on another node is the number's book here too.
        if (state->bookSet && byNumber_.contains(number))
            replaceBook(number, BookNumbers{std::move(state->book), std::move(state->blocked)},
                        updates);
        refreshWatchers(number, updates);
        rebalance(number, updates);
    }
    MemoryHub::send(updates);
}

void NatsHub::onBeat(natsMsg* msg) {
    const auto beat = parseBeat(body(msg));
    if (!beat) return reject("bad heartbeat");
    if (beat->node == node_) return;
    Updates updates;
    {
        std::lock_guard guard(lock_);
        if (beat->bye) {
            forget(beat->node, updates);
        } else {
            heard(beat->node, steadyMs());
        }
    }
    MemoryHub::send(updates);
}

void NatsHub::setBook(const std::string& owner, const BookNumbers& book) {
    MemoryHub::setBook(owner, book);
    std::lock_guard guard(lock_);
    if (byNumber_.contains(owner)) announce(owner, true);
}

void NatsHub::closeComputers(const std::string& number, const std::vector<std::string>& computers,
                             bool allBut) {
    MemoryHub::closeComputers(number, computers, allBut);
    if (connected_) publish(std::string(kInbox) + number, encodeClosing(computers, allBut));
}

// --- the link and the clock ------------------------------------------------------

void NatsHub::onLink(bool up) {
    if (closing_) return;
    if (!up) {
        if (connected_.exchange(false)) move(metrics_.clusterConnected, -1);
        logEvent(Level::warning, "nats_disconnected", {{"node", node_}});
        return;
    }
    if (!connected_.exchange(true)) move(metrics_.clusterConnected, 1);
    logEvent(Level::info, "nats_connected", {{"node", node_}});
    // What was said during the gap is lost: say again what this node holds,
    // ask again about what it follows, and drop what nobody confirms.
    std::lock_guard guard(lock_);
    const std::int64_t now = steadyMs();
    resyncFromMs_ = now;
    resyncDueMs_ = now + config_.natsAnswer.count();
    for (const auto& [number, subs] : subs_) {
        if (byNumber_.contains(number)) announce(number, false);
        if (subs.state) query(number);
    }
}

void NatsHub::run() {
    const auto beat = config_.natsHeartbeat;
    const auto tick = std::clamp(std::min(beat, config_.natsAnswer) / 4, Millis{5}, beat);
    const std::string heartbeat = encodeBeat(node_, false);
    auto nextBeat = std::chrono::steady_clock::now();
    std::unique_lock wait(runLock_);
    while (!stop_) {
        wait.unlock();
        const auto clock = std::chrono::steady_clock::now();
        if (clock >= nextBeat) {
            if (connected_) publish(kBeats, heartbeat);
            nextBeat = clock + beat;
        }
        const std::int64_t now = steadyMs();
        Updates updates;
        {
            std::lock_guard guard(lock_);
            std::vector<std::string> silent;
            for (const auto& [node, heardMs] : nodes_)
                if (now - heardMs > config_.natsLease.count()) silent.push_back(node);
            for (const auto& node : silent) {
                logEvent(Level::warning, "node_lost", {{"node", node}});
                forget(node, updates);
            }
            if (resyncDueMs_ && now >= resyncDueMs_) {
                resyncDueMs_ = 0;
                std::vector<std::string> stale;
                for (auto& [number, remote] : remote_) {
                    std::erase_if(remote.hosts,
                                  [&](const auto& h) { return h.second.heardMs < resyncFromMs_; });
                    if (remote.hosts.empty()) stale.push_back(number);
                }
                for (const auto& number : stale) {
                    remote_.erase(number);
                    refreshWatchers(number, updates);
                }
            }
        }
        MemoryHub::send(updates);
        std::vector<Pending> late;
        {
            std::lock_guard guard(acksLock_);
            while (!due_.empty() && due_.front().first <= now) {
                if (const auto it = pending_.find(due_.front().second); it != pending_.end()) {
                    late.push_back(std::move(it->second));
                    pending_.erase(it);
                }
                due_.pop_front();
            }
        }
        for (auto& p : late)
            if (auto sender = p.sender.lock()) missed(sender, p.to);
        wait.lock();
        wake_.wait_for(wait, tick, [this] { return stop_ || admit_; });
        if (std::exchange(admit_, false)) {
            wait.unlock();
            admitWaiting();
            wait.lock();
        }
    }
    wait.unlock();
    nats_ReleaseThreadMemory();
}

}  // namespace merrowfax::relay

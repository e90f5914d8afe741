#include "relay/memory_hub.h"

#include <algorithm>

#include "relay/limits.h"

namespace merrowfax::relay {

// The book of a number online here or elsewhere; null while it is offline
// (books_ holds exactly the numbers with a local connection).
const MemoryHub::Book* MemoryHub::bookOf(const std::string& number) const {
    const auto book = books_.find(number);
    return book != books_.end() ? &book->second : elsewhere(number);
}

bool MemoryHub::inBook(const std::string& owner, const std::string& number) const {
    const Book* book = bookOf(owner);
    return book && book->numbers.contains(number);
}

// Whether `target` may concern the connection: indexes watchers_, so that a
// change of `target` refreshes it; sees() then decides.
bool MemoryHub::follows(const Conn& conn, const std::string& target) const {
    if (target == conn.number) return false;
    return conn.sentTo.contains(target) || conn.heardFrom.contains(target) ||
           inBook(conn.number, target);
}

bool MemoryHub::sees(const Conn& conn, const std::string& target) const {
    if (target == conn.number) return false;
    const Book* theirs = bookOf(target);
    if (!theirs || theirs->blocked.contains(conn.number)) return false;
    return inBook(conn.number, target) || conn.heardFrom.contains(target) ||
           (conn.sentTo.contains(target) && theirs->numbers.contains(conn.number));
}

void MemoryHub::follow(PeerId id, const Conn& conn, const std::string& target) {
    if (target == conn.number) return;
    auto [it, fresh] = watchers_.try_emplace(target);
    it->second.insert(id);
    if (fresh) followingChanged(target, true);
}

void MemoryHub::drop(PeerId id, const std::string& target) {
    const auto it = watchers_.find(target);
    if (it == watchers_.end()) return;
    it->second.erase(id);
    if (!it->second.empty()) return;
    watchers_.erase(it);
    followingChanged(target, false);
}

void MemoryHub::unfollow(PeerId id, const Conn& conn, const std::string& target) {
    if (!follows(conn, target)) drop(id, target);
}

void MemoryHub::refresh(Conn& conn, Updates& out) {
    std::vector<std::string> online;
    auto consider = [&](const std::string& t) {
        if (sees(conn, t)) online.push_back(t);
    };
    for (const auto& t : conn.sentTo) consider(t);
    for (const auto& t : conn.heardFrom) consider(t);
    if (const auto book = books_.find(conn.number); book != books_.end())
        for (const auto& t : book->second.numbers) consider(t);
    std::sort(online.begin(), online.end());
    online.erase(std::unique(online.begin(), online.end()), online.end());
    if (conn.sentOnce && online == conn.lastSent) return;
    conn.sentOnce = true;
    conn.lastSent = online;
    out.push_back({conn.peer, ++conn.seq, std::move(online)});
}

// Sets the owner's stored book: its connections follow the new numbers, and
// whoever it names (or named) sees the owner afresh.
void MemoryHub::replaceBook(const std::string& owner, const BookNumbers& book, Updates& out) {
    auto& owned = books_[owner];
    const Book old = std::move(owned);
    owned = {{book.numbers.begin(), book.numbers.end()},
             {book.blocked.begin(), book.blocked.end()}};
    const auto list = byNumber_.find(owner);
    if (list == byNumber_.end()) return;
    for (PeerId id : list->second) {
        auto& conn = conns_[id];
        for (const auto& t : old.numbers)
            if (!owned.numbers.contains(t)) unfollow(id, conn, t);
        for (const auto& t : owned.numbers) follow(id, conn, t);
        refresh(conn, out);
    }
    std::unordered_set<std::string> named(old.numbers.begin(), old.numbers.end());
    named.insert(owned.numbers.begin(), owned.numbers.end());
    for (const auto& n : named)
        if (const auto theirs = byNumber_.find(n); theirs != byNumber_.end() && n != owner)
            for (PeerId id : theirs->second) refresh(conns_[id], out);
}

void MemoryHub::refreshWatchers(const std::string& target, Updates& out) {
    const auto it = watchers_.find(target);
    if (it == watchers_.end()) return;
    for (PeerId w : it->second)
        if (auto c = conns_.find(w); c != conns_.end()) refresh(c->second, out);
}

void MemoryHub::send(Updates& updates) {
    for (auto& u : updates)
        if (auto peer = u.peer.lock()) peer->deliverPresence(u.seq, std::move(u.online));
}

void MemoryHub::attachLocked(PeerId id, const std::string& number, const std::string& computer,
                             std::weak_ptr<Peer> peer, const BookNumbers& book, Updates& out,
                             std::vector<std::shared_ptr<Peer>>& displaced) {
    for (;;) {
        const auto it = byNumber_.find(number);
        if (it == byNumber_.end() || it->second.size() < maxPerNumber_) break;
        const PeerId oldest = it->second.front();
        if (auto p = conns_[oldest].peer.lock()) displaced.push_back(std::move(p));
        remove(oldest, out);
    }
    const bool cameOnline = !byNumber_.contains(number);
    byNumber_[number].push_back(id);
    auto& conn = conns_[id];
    conn.number = number;
    conn.computer = computer;
    conn.peer = std::move(peer);
    conn.sinceMs = unixMillis();
    // The stored book is the owner's: every connection of the number follows it.
    replaceBook(number, book, out);
    if (cameOnline) refreshWatchers(number, out);
    connsChanged(number, out);
}

// Called on the connection's strand: reachable() runs there at once, so its
// "pin" goes out after the connection is in the maps (a client that hears it
// may count on being found) and before anything delivered to it.
void MemoryHub::attach(PeerId id, const std::string& number, const std::string& computer,
                       std::weak_ptr<Peer> peer, const BookNumbers& book) {
    auto self = peer.lock();
    Updates updates;
    std::vector<std::shared_ptr<Peer>> displaced;
    {
        std::lock_guard guard(lock_);
        attachLocked(id, number, computer, std::move(peer), book, updates, displaced);
    }
    if (self) self->reachable();
    for (auto& p : displaced) p->kick(1008);
    send(updates);
}

void MemoryHub::remove(PeerId id, Updates& out) {
    const auto it = conns_.find(id);
    if (it == conns_.end()) return;
    Conn conn = std::move(it->second);
    conns_.erase(it);
    auto& list = byNumber_[conn.number];
    std::erase(list, id);
    const bool wentOffline = list.empty();
    if (wentOffline) byNumber_.erase(conn.number);
    for (const auto& t : conn.sentTo) drop(id, t);
    for (const auto& t : conn.heardFrom) drop(id, t);
    if (auto book = books_.find(conn.number); book != books_.end()) {
        for (const auto& t : book->second.numbers) drop(id, t);
        if (wentOffline) books_.erase(book);
    }
    if (wentOffline) refreshWatchers(conn.number, out);
    connsChanged(conn.number, out);
}

void MemoryHub::detach(PeerId id) {
    Updates updates;
    {
        std::lock_guard guard(lock_);
        remove(id, updates);
    }
    send(updates);
}

void MemoryHub::learn(PeerId id, Conn& conn, std::unordered_set<std::string>& set,
                      const std::string& target, Updates& out) {
    if (set.contains(target) || set.size() >= maxExchanged_) return;
    set.insert(target);
    follow(id, conn, target);
    refresh(conn, out);
}

// A connection displaced or revoked may still have records in flight: they
// reach `to` as before, but teach presence nothing.
const MemoryHub::Conn* MemoryHub::exchange(PeerId from, const std::string& to, Peers& peers,
                                           Updates& out) {
    const auto it = conns_.find(from);
    Conn* sender = it == conns_.end() ? nullptr : &it->second;
    const bool learns = sender && to != sender->number;
    if (learns) learn(from, *sender, sender->sentTo, to, out);
    const auto receivers = byNumber_.find(to);
    if (receivers == byNumber_.end()) return sender;
    for (PeerId id : receivers->second) {
        if (id == from) continue;
        Conn& conn = conns_[id];
        if (learns) learn(id, conn, conn.heardFrom, sender->number, out);
        if (auto p = conn.peer.lock()) peers.push_back(std::move(p));
    }
    return sender;
}

void MemoryHub::arrived(const std::string& sender, const std::string& to, Peers& peers,
                        Updates& out) {
    const auto receivers = byNumber_.find(to);
    if (receivers == byNumber_.end()) return;
    for (PeerId id : receivers->second) {
        Conn& conn = conns_[id];
        if (sender != to) learn(id, conn, conn.heardFrom, sender, out);
        if (auto p = conn.peer.lock()) peers.push_back(std::move(p));
    }
}

// One lock per record: the exchange is noted and the receivers collected
// together; delivery (a post to each strand) happens after it is released.
void MemoryHub::forward(PeerId from, const std::string& to,
                        std::shared_ptr<const std::string> stamped, Cargo cargo) {
    Peers peers;
    Updates updates;
    std::shared_ptr<Peer> sender;
    {
        std::lock_guard guard(lock_);
        const Conn* conn = exchange(from, to, peers, updates);
        if (conn && peers.empty() && cargo != Cargo::frame) sender = conn->peer.lock();
    }
    send(updates);
    if (sender) return sender->missed(to);
    for (const auto& peer : peers) {
        if (cargo == Cargo::frame) {
            peer->deliverBinary(stamped);
        } else {
            peer->deliverText(stamped, cargo == Cargo::mediaRecord);
        }
    }
}

void MemoryHub::setBook(const std::string& owner, const BookNumbers& book) {
    Updates updates;
    {
        std::lock_guard guard(lock_);
        if (!byNumber_.contains(owner)) return;
        replaceBook(owner, book, updates);
    }
    send(updates);
}

void MemoryHub::closeComputers(const std::string& number, const std::vector<std::string>& computers,
                               bool allBut) {
    std::vector<std::shared_ptr<Peer>> revoked;
    {
        std::lock_guard guard(lock_);
        const auto it = byNumber_.find(number);
        if (it == byNumber_.end()) return;
        for (PeerId id : it->second) {
            const Conn& conn = conns_[id];
            const bool listed =
                std::find(computers.begin(), computers.end(), conn.computer) != computers.end();
            if (listed != allBut)
                if (auto p = conn.peer.lock()) revoked.push_back(std::move(p));
        }
    }
    // They detach as they close.
    for (auto& p : revoked) p->kick(1008);
}

std::vector<std::shared_ptr<Peer>> MemoryHub::all() {
    std::vector<std::shared_ptr<Peer>> out;
    std::lock_guard guard(lock_);
    for (auto& [id, conn] : conns_)
        if (auto p = conn.peer.lock()) out.push_back(std::move(p));
    return out;
}

}  // namespace merrowfax::relay

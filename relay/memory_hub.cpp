#include "relay/memory_hub.h"

#include <algorithm>

namespace merrowfax::relay {

bool MemoryHub::follows(const Conn& conn, const std::string& target) const {
    if (target == conn.number) return false;
    if (conn.exchanged.contains(target)) return true;
    const auto book = books_.find(conn.number);
    return book != books_.end() && book->second.contains(target);
}

void MemoryHub::follow(PeerId id, const Conn& conn, const std::string& target) {
    if (target != conn.number) watchers_[target].insert(id);
}

void MemoryHub::unfollow(PeerId id, const Conn& conn, const std::string& target) {
    if (follows(conn, target)) return;
    const auto it = watchers_.find(target);
    if (it == watchers_.end()) return;
    it->second.erase(id);
    if (it->second.empty()) watchers_.erase(it);
}

void MemoryHub::refresh(Conn& conn, Updates& out) {
    std::vector<std::string> online;
    auto consider = [&](const std::string& t) {
        if (t != conn.number && byNumber_.contains(t)) online.push_back(t);
    };
    for (const auto& t : conn.exchanged) consider(t);
    if (const auto book = books_.find(conn.number); book != books_.end())
        for (const auto& t : book->second)
            if (!conn.exchanged.contains(t)) consider(t);
    std::sort(online.begin(), online.end());
    if (conn.sentOnce && online == conn.lastSent) return;
    conn.sentOnce = true;
    conn.lastSent = online;
    out.push_back({conn.peer, ++conn.seq, std::move(online)});
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

void MemoryHub::attach(PeerId id, const std::string& number, const std::string& computer,
                       std::weak_ptr<Peer> peer, const std::vector<std::string>& book) {
    Updates updates;
    std::vector<std::shared_ptr<Peer>> displaced;
    {
        std::lock_guard guard(lock_);
        for (;;) {
            const auto it = byNumber_.find(number);
            if (it == byNumber_.end() || it->second.size() < maxPerNumber_) break;
            const PeerId oldest = it->second.front();
            if (auto p = conns_[oldest].peer.lock()) displaced.push_back(std::move(p));
            remove(oldest, updates);
        }
        const bool cameOnline = !byNumber_.contains(number);
        auto& list = byNumber_[number];
        list.push_back(id);
        auto& conn = conns_[id];
        conn.number = number;
        conn.computer = computer;
        conn.peer = std::move(peer);
        // The stored book is the owner's: every connection of the number follows it.
        auto& owned = books_[number];
        const auto old = std::move(owned);
        owned = std::unordered_set<std::string>(book.begin(), book.end());
        for (PeerId each : list) {
            for (const auto& t : old)
                if (!owned.contains(t)) unfollow(each, conns_[each], t);
            for (const auto& t : owned) follow(each, conns_[each], t);
        }
        for (PeerId each : list)
            if (each != id) refresh(conns_[each], updates);
        refresh(conn, updates);
        if (cameOnline) refreshWatchers(number, updates);
    }
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
    auto drop = [&](const std::string& t) {
        if (auto w = watchers_.find(t); w != watchers_.end()) {
            w->second.erase(id);
            if (w->second.empty()) watchers_.erase(w);
        }
    };
    for (const auto& t : conn.exchanged) drop(t);
    if (auto book = books_.find(conn.number); book != books_.end()) {
        for (const auto& t : book->second) drop(t);
        if (wentOffline) books_.erase(book);
    }
    if (wentOffline) refreshWatchers(conn.number, out);
}

void MemoryHub::detach(PeerId id) {
    Updates updates;
    {
        std::lock_guard guard(lock_);
        remove(id, updates);
    }
    send(updates);
}

std::vector<std::shared_ptr<Peer>> MemoryHub::route(const std::string& number, PeerId except) {
    std::vector<std::shared_ptr<Peer>> out;
    std::lock_guard guard(lock_);
    const auto it = byNumber_.find(number);
    if (it == byNumber_.end()) return out;
    for (PeerId id : it->second)
        if (id != except)
            if (auto p = conns_[id].peer.lock()) out.push_back(std::move(p));
    return out;
}

void MemoryHub::noteExchange(PeerId id, const std::string& other) {
    Updates updates;
    {
        std::lock_guard guard(lock_);
        const auto it = conns_.find(id);
        if (it == conns_.end() || other == it->second.number) return;
        const std::string self = it->second.number;
        auto learn = [&](PeerId who, Conn& conn, const std::string& target) {
            if (conn.exchanged.contains(target) || conn.exchanged.size() >= maxExchanged_) return;
            conn.exchanged.insert(target);
            follow(who, conn, target);
            refresh(conn, updates);
        };
        learn(id, it->second, other);
        if (const auto peers = byNumber_.find(other); peers != byNumber_.end())
            for (PeerId p : peers->second) learn(p, conns_[p], self);
    }
    send(updates);
}

void MemoryHub::setBook(const std::string& owner, const std::vector<std::string>& book) {
    Updates updates;
    {
        std::lock_guard guard(lock_);
        const auto list = byNumber_.find(owner);
        if (list == byNumber_.end()) return;
        auto& owned = books_[owner];
        const auto old = std::move(owned);
        owned = std::unordered_set<std::string>(book.begin(), book.end());
        for (PeerId id : list->second) {
            auto& conn = conns_[id];
            for (const auto& t : old)
                if (!owned.contains(t)) unfollow(id, conn, t);
            for (const auto& t : owned) follow(id, conn, t);
            refresh(conn, updates);
        }
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

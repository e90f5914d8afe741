#pragma once

#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include <boost/container/small_vector.hpp>

#include "relay/hub.h"

namespace merrowfax::relay {

// Routing and presence for one node, all in memory. A connection sees the
// numbers of its owner's stored book, numbers that sent it something, and
// numbers it sent something to once they answered or have it in their book;
// never a number whose book blocks it. Lists are computed under the lock and
// delivered after it is released.
//
// A cluster backend derives from it: its own connections are served here,
// directly, and the hooks below tell it what to announce and to follow on
// the bus, and ask it what other nodes hold. They run under the lock and
// cost a single node nothing but a virtual call on the (rare) changes.
class MemoryHub : public Hub {
public:
    MemoryHub(std::size_t maxPerNumber, std::size_t maxExchanged)
        : maxPerNumber_(maxPerNumber), maxExchanged_(maxExchanged) {}

    void attach(PeerId id, const std::string& number, const std::string& computer,
                std::weak_ptr<Peer> peer, const BookNumbers& book) override;
    void detach(PeerId id) override;
    void forward(PeerId from, const std::string& to, std::shared_ptr<const std::string> stamped,
                 Cargo cargo) override;
    void setBook(const std::string& owner, const BookNumbers& book) override;
    void closeComputers(const std::string& number, const std::vector<std::string>& computers,
                        bool allBut) override;
    std::vector<std::shared_ptr<Peer>> all() override;

protected:
    struct Conn {
        std::string number;
        std::string computer;  // keyed tag
        std::weak_ptr<Peer> peer;
        std::unordered_set<std::string> sentTo;
        std::unordered_set<std::string> heardFrom;
        std::uint64_t seq = 0;
        std::vector<std::string> lastSent;
        bool sentOnce = false;
        std::int64_t sinceMs = 0;  // attached at (Unix ms): the oldest go first
    };
    struct Update {
        std::weak_ptr<Peer> peer;
        std::uint64_t seq;
        std::vector<std::string> online;
    };
    using Updates = std::vector<Update>;
    // The receivers of one record: a handful at most, so no allocation.
    using Peers = boost::container::small_vector<std::shared_ptr<Peer>, 4>;

    struct Book {
        std::unordered_set<std::string> numbers;
        std::unordered_set<std::string> blocked;
    };

    // What other nodes hold: the book of a number online elsewhere, or null
    // when it is not. One node knows nothing elsewhere.
    virtual const Book* elsewhere(const std::string& /*number*/) const { return nullptr; }
    // `number` gained or lost a local connection (the last one when
    // byNumber_ no longer holds it).
    virtual void connsChanged(const std::string& /*number*/, Updates& /*out*/) {}
    // Local connections started, or stopped, following `target`.
    virtual void followingChanged(const std::string& /*target*/, bool /*following*/) {}

    // `from` sent to `to`: notes the exchange for presence and collects the
    // local connections of `to` but `from`; the sender's connection, or null.
    const Conn* exchange(PeerId from, const std::string& to, Peers& peers, Updates& out);
    // A record or frame from `sender` on another node reached `to`: its
    // local connections now see the sender; collects them.
    void arrived(const std::string& sender, const std::string& to, Peers& peers, Updates& out);
    // Attach under the lock; Peer::reachable was called already.
    void attachLocked(PeerId id, const std::string& number, const std::string& computer,
                      std::weak_ptr<Peer> peer, const BookNumbers& book, Updates& out,
                      std::vector<std::shared_ptr<Peer>>& displaced);
    void replaceBook(const std::string& owner, const BookNumbers& book, Updates& out);
    void refreshWatchers(const std::string& target, Updates& out);
    void remove(PeerId id, Updates& out);
    const Book* bookOf(const std::string& number) const;
    static void send(Updates& updates);

    std::size_t maxPerNumber_;
    std::size_t maxExchanged_;
    std::mutex lock_;
    std::unordered_map<PeerId, Conn> conns_;
    std::unordered_map<std::string, std::vector<PeerId>> byNumber_;  // oldest first
    std::unordered_map<std::string, Book> books_;                    // of numbers online here
    std::unordered_map<std::string, std::unordered_set<PeerId>> watchers_;

private:
    bool inBook(const std::string& owner, const std::string& number) const;
    bool follows(const Conn& conn, const std::string& target) const;
    bool sees(const Conn& conn, const std::string& target) const;
    void follow(PeerId id, const Conn& conn, const std::string& target);
    void unfollow(PeerId id, const Conn& conn, const std::string& target);
    void drop(PeerId id, const std::string& target);
    void learn(PeerId id, Conn& conn, std::unordered_set<std::string>& set,
               const std::string& target, Updates& out);
    void refresh(Conn& conn, Updates& out);
};

}  // namespace merrowfax::relay

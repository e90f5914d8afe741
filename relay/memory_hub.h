#pragma once

#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "relay/hub.h"

namespace merrowfax::relay {

// Routing and presence for one node, all in memory. A connection sees the
// numbers of its owner's stored book, numbers that sent it something, and
// numbers it sent something to once they answered or have it in their book;
// never a number whose book blocks it. Lists are computed under the lock and
// delivered after it is released.
class MemoryHub final : public Hub {
public:
    MemoryHub(std::size_t maxPerNumber, std::size_t maxExchanged)
        : maxPerNumber_(maxPerNumber), maxExchanged_(maxExchanged) {}

    void attach(PeerId id, const std::string& number, const std::string& computer,
                std::weak_ptr<Peer> peer, const BookNumbers& book) override;
    void detach(PeerId id) override;
    std::vector<std::shared_ptr<Peer>> route(const std::string& number, PeerId except) override;
    void noteExchange(PeerId id, const std::string& other) override;
    void setBook(const std::string& owner, const BookNumbers& book) override;
    void closeComputers(const std::string& number, const std::vector<std::string>& computers,
                        bool allBut) override;
    std::vector<std::shared_ptr<Peer>> all() override;

private:
    struct Conn {
        std::string number;
        std::string computer;  // keyed tag
        std::weak_ptr<Peer> peer;
        std::unordered_set<std::string> sentTo;
        std::unordered_set<std::string> heardFrom;
        std::uint64_t seq = 0;
        std::vector<std::string> lastSent;
        bool sentOnce = false;
    };
    struct Update {
        std::weak_ptr<Peer> peer;
        std::uint64_t seq;
        std::vector<std::string> online;
    };
    using Updates = std::vector<Update>;

    struct Book {
        std::unordered_set<std::string> numbers;
        std::unordered_set<std::string> blocked;
    };

    bool inBook(const std::string& owner, const std::string& number) const;
    bool follows(const Conn& conn, const std::string& target) const;
    bool sees(const Conn& conn, const std::string& target) const;
    void replaceBook(const std::string& owner, const BookNumbers& book, Updates& out);
    void follow(PeerId id, const Conn& conn, const std::string& target);
    void unfollow(PeerId id, const Conn& conn, const std::string& target);
    void refresh(Conn& conn, Updates& out);
    void refreshWatchers(const std::string& target, Updates& out);
    void remove(PeerId id, Updates& out);
    static void send(Updates& updates);

    std::size_t maxPerNumber_;
    std::size_t maxExchanged_;
    std::mutex lock_;
    std::unordered_map<PeerId, Conn> conns_;
    std::unordered_map<std::string, std::vector<PeerId>> byNumber_;  // oldest first
    std::unordered_map<std::string, Book> books_;                    // of numbers online
    std::unordered_map<std::string, std::unordered_set<PeerId>> watchers_;
};

}  // namespace merrowfax::relay

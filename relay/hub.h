#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Routing and presence between live connections. The in-memory hub serves one
// node; a multi-node backend implements the same interface over a message bus.
namespace merrowfax::relay {

// What the hub needs of a live connection. Every call may come from any
// thread; implementations post to their own strand and never block.
class Peer {
public:
    virtual ~Peer() = default;
    // `media` marks records a slow reader may lose first (call audio).
    virtual void deliverText(std::shared_ptr<const std::string> record, bool media) = 0;
    virtual void deliverBinary(std::shared_ptr<const std::string> frame) = 0;
    // A presence list; `seq` grows per connection so a late list never
    // overwrites a newer one.
    virtual void deliverPresence(std::uint64_t seq, std::vector<std::string> online) = 0;
    // Close with this WebSocket code (1001 at shutdown, 1008 when displaced).
    virtual void kick(std::uint16_t code) = 0;
    // The connection can be reached from every node: it hears "pin" now.
    // Called once per attach before anything is delivered to it: at once on
    // a single node, once the cluster has its subscription in place on
    // several (a record sent right after "pin" must find it).
    virtual void reachable() = 0;
    // Nobody took the record this connection sent to `to`: it hears "miss".
    // Comes at once when the number is nowhere, or later from a cluster
    // that waited for the other nodes.
    virtual void missed(const std::string& to) = 0;
};

// What a connection forwards: a record (which answers "miss" when nobody
// takes it), a record a slow reader may lose first (call audio), or a media
// frame (lost silently).
enum class Cargo : std::uint8_t { record, mediaRecord, frame };

using PeerId = std::uint64_t;

// The numbers of an owner's stored contact book: the owner follows all of
// them; the blocked ones never see the owner's presence.
struct BookNumbers {
    std::vector<std::string> numbers;
    std::vector<std::string> blocked;
    bool operator==(const BookNumbers&) const = default;
};

class Hub {
public:
    virtual ~Hub() = default;

    // Registers a connection under its number and its computer's tag with its
    // stored book; calls Peer::reachable, then sends it its first presence.
    // Displaces the oldest connections beyond the per-number limit. Called
    // on the connection's strand.
    virtual void attach(PeerId id, const std::string& number, const std::string& computer,
                        std::weak_ptr<Peer> peer, const BookNumbers& book) = 0;
    virtual void detach(PeerId id) = 0;

    // Hands `stamped` (the record or frame with the sender's number written
    // in) from connection `from` to every other connection of `to`, wherever
    // it is; a record nobody takes ends in `from`'s Peer::missed. The
    // exchange counts for presence: the connections of `to` now see the
    // sender; the sender sees `to` only once `to` answers or has the sender
    // in its book (a stray frame learns nothing).
    virtual void forward(PeerId from, const std::string& to,
                         std::shared_ptr<const std::string> stamped, Cargo cargo) = 0;

    // The stored book of `owner` changed.
    virtual void setBook(const std::string& owner, const BookNumbers& book) = 0;

    // Closes (1008) the connections of `number` on these computers (tags), or
    // with `allBut` those on every other computer: their proof is gone.
    virtual void closeComputers(const std::string& number,
                                const std::vector<std::string>& computers, bool allBut) = 0;

    // Every connection of this node, for shutdown.
    virtual std::vector<std::shared_ptr<Peer>> all() = 0;
};

}  // namespace merrowfax::relay

#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <string_view>
#include <thread>

#include <nats/nats.h>

#include "relay/cluster_wire.h"
#include "relay/config.h"
#include "relay/memory_hub.h"
#include "relay/metrics.h"

namespace merrowfax::relay {

// One node of a cluster. Its own connections are served by MemoryHub,
// directly; NATS carries only what crosses nodes, on per-number subjects
// (canonical numbers are plain NATS tokens):
//
//   mfx.n.NUMBER  heard by the nodes holding a connection of NUMBER: records
//                 and frames for it, "who holds it?" queries, closings
//   mfx.p.NUMBER  a node's state for NUMBER (its connections' ages and the
//                 number's book), heard by the nodes that hold or follow it
//   mfx.hb        every node's heartbeat, and its goodbye
//   mfx.ack.NODE.TOKEN
//                 "a connection took it", or the server's "no responders",
//                 for a record that nobody on the sending node took
//
// So a node hears presence only for the numbers its connections are
// interested in, never the whole population. A node whose heartbeats stop
// for the lease is forgotten with everything it held. Whatever comes from
// the bus is bounded and checked: another node may be buggy.
class NatsHub final : public MemoryHub {
public:
    // Starts connecting (and keeps trying in the background while NATS is
    // not there); throws when the URL cannot be used at all.
    NatsHub(const Config& config, Metrics& metrics);
    ~NatsHub() override;

    void attach(PeerId id, const std::string& number, const std::string& computer,
                std::weak_ptr<Peer> peer, const BookNumbers& book) override;
    void detach(PeerId id) override;
    void forward(PeerId from, const std::string& to, std::shared_ptr<const std::string> stamped,
                 Cargo cargo) override;
    void setBook(const std::string& owner, const BookNumbers& book) override;
    void closeComputers(const std::string& number, const std::vector<std::string>& computers,
                        bool allBut) override;

    const std::string& node() const { return node_; }

private:
    struct Host {  // another node's connections of a number
        std::vector<cluster::ConnKey> conns;
        std::int64_t heardMs = 0;  // steady clock
    };
    struct Remote {  // exists only while some other node holds the number
        std::map<std::string, Host> hosts;
        Book book;
    };
    struct Subs {
        natsSubscription* inbox = nullptr;  // while a connection of the number is here
        natsSubscription* state = nullptr;  // while it is here or followed from here
        std::int64_t sinceMs = 0;           // state heard since (steady clock)
    };
    struct Pending {
        std::weak_ptr<Peer> sender;
        std::string to;
    };
    struct Waiting {  // a connection whose number's subscription is not confirmed yet
        std::string number;
        std::string computer;
        std::weak_ptr<Peer> peer;
        BookNumbers book;
    };

    const Book* elsewhere(const std::string& number) const override;
    void connsChanged(const std::string& number, Updates& out) override;
    void followingChanged(const std::string& target, bool following) override;

    // Under lock_.
    void watchState(const std::string& number, Subs& subs);
    void holdInbox(const std::string& number, Subs& subs);
    void announce(const std::string& number, bool bookSet);
    void query(const std::string& number);
    void rebalance(const std::string& number, Updates& out);
    void forget(const std::string& node, Updates& out);
    bool heard(const std::string& node, std::int64_t now);
    bool mayBeElsewhere(const std::string& to, std::int64_t now) const;

    // Called by the library on its threads.
    void onInbox(natsMsg* msg);
    void onState(natsMsg* msg);
    void onBeat(natsMsg* msg);
    void onAck(natsMsg* msg);
    void onLink(bool up);

    natsSubscription* subscribe(const std::string& subject, natsMsgHandler handler, int messages,
                                int bytes);
    bool publish(const std::string& subject, std::string_view data, const char* reply = nullptr);
    std::uint64_t await(const std::shared_ptr<Peer>& sender, const std::string& to);
    void missed(const std::shared_ptr<Peer>& sender, const std::string& to);
    void reject(const char* why);
    void admitWaiting();
    void run();  // heartbeats, leases, answers due, waiting connections

    template <void (NatsHub::*handler)(natsMsg*)>
    static void dispatch(natsConnection*, natsSubscription*, natsMsg* msg, void* self);

    const Config& config_;
    Metrics& metrics_;
    const std::string node_;
    const std::string ackPrefix_;
    natsOptions* options_ = nullptr;
    natsConnection* nc_ = nullptr;
    natsSubscription* beats_ = nullptr;
    natsSubscription* acks_ = nullptr;
    std::atomic<bool> connected_{false};
    std::atomic<bool> closing_{false};

    // Under lock_ (MemoryHub's).
    std::unordered_map<std::string, Subs> subs_;
    std::unordered_map<std::string, Remote> remote_;
    std::unordered_map<std::string, std::int64_t> nodes_;  // other nodes: last heard
    std::deque<std::string> gone_;                         // given up on, newest last
    std::int64_t resyncFromMs_ = 0;  // reconnected then: state older than that is doubtful
    std::int64_t resyncDueMs_ = 0;   // ... and dropped then, unless confirmed
    bool rebalancing_ = false;
    std::unordered_map<PeerId, Waiting> waiting_;

    std::mutex acksLock_;
    std::unordered_map<std::uint64_t, Pending> pending_;
    std::deque<std::pair<std::int64_t, std::uint64_t>> due_;  // (when, token), oldest first
    std::uint64_t nextToken_ = 1;

    std::mutex runLock_;
    std::condition_variable wake_;
    bool stop_ = false;
    bool admit_ = false;  // connections wait for a round trip to NATS
    std::thread runner_;
};

}  // namespace merrowfax::relay

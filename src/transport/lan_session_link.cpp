#include "transport/lan_session_link.h"

#include <vector>

#include "platform/timings.h"
#include "transport/lan_connection.h"
#include "transport/lan_limits.h"
#include "transport/lan_media_socket.h"

// A session's own keeping: pings that keep it open, the idle and proof
// deadlines that end it, datagram probes until the peer hears them, and its
// media on whichever way reaches the peer.
namespace merrowfax::lan {
namespace {

// The sessions' own messages on a stream; the owner's open with a byte
// under 0x80.
constexpr std::byte kPing{0x80};
constexpr std::byte kHeard{0x82};  // "your datagrams arrive"
// Datagram probes at lanUdpProbe before they slow to lanPing.
constexpr int kQuickProbes = 40;

}  // namespace

std::shared_ptr<SessionLink> SessionLink::open(std::unique_ptr<Connection> connection, Setup setup,
                                               MediaSocket* media, Callbacks callbacks) {
    auto link = std::make_shared<SessionLink>(Token{}, std::move(connection), std::move(setup),
                                              media, std::move(callbacks));
    link->start();
    return link;
}

SessionLink::SessionLink(Token, std::unique_ptr<Connection> connection, Setup setup,
                         MediaSocket* media, Callbacks callbacks)
    : setup_(std::move(setup)),
      connection_(std::move(connection)),
      media_(media),
      sealer_(std::make_unique<DatagramSealer>(setup_.outboundId, setup_.outboundKey)),
      peerIpv4_(connection_->peerIpv4()),
      callbacks_(std::move(callbacks)) {}

SessionLink::~SessionLink() = default;

void SessionLink::start() {
    connection_->setMaxMessage(kMaxFrame);
    // The connection goes with the link, so its callbacks never outlive it.
    Connection::Callbacks callbacks;
    callbacks.message = [this](std::span<const std::byte> message) {
        arrived(message);
    };
    callbacks.closed = [this] {
        end();
    };
    connection_->setCallbacks(std::move(callbacks));

    ping_.setInterval(timings().lanPing);
    connect(&ping_, &QTimer::timeout, this, [this] { connection_->send({&kPing, 1}); });
    ping_.start();
    idle_.setSingleShot(true);
    idle_.setInterval(timings().lanIdle);
    connect(&idle_, &QTimer::timeout, this, [this] { end(); });
    idle_.start();
    // Probes until the peer says they arrive; media goes on the stream till then.
    probe_.setInterval(timings().lanUdpProbe);
    connect(&probe_, &QTimer::timeout, this, [this] { probe(); });
    if (media_ && setup_.peerUdp != 0) {
        probe_.start();
        media_->send(*sealer_, peerIpv4_, setup_.peerUdp, {});
    }
    proof_.setSingleShot(true);
    connect(&proof_, &QTimer::timeout, this, [this] { end(); });
    retire_.setSingleShot(true);
    connect(&retire_, &QTimer::timeout, this, [this] { end(); });
}

void SessionLink::probe() {
    if (theyHear_ || !media_) return;
    media_->send(*sealer_, peerIpv4_, setup_.peerUdp, {});
    // Datagrams that do not arrive in the first seconds may be blocked: then
    // a probe now and then is enough to notice a change.
    if (++probes_ == kQuickProbes) probe_.setInterval(timings().lanPing);
}

void SessionLink::arrived(std::span<const std::byte> message) {
    idle_.start();
    const std::byte kind = message.front();
    if (kind == kPing) return;
    if (kind == kHeard) {
        theyHear_ = true;
        probe_.stop();
        return;
    }
    if (static_cast<unsigned>(kind) >= 0x80) return;
    // Held while the owner may let go of it.
    const auto self = weak_from_this().lock();
    if (self && callbacks_.message) callbacks_.message(*this, message);
}

void SessionLink::end() {
    const auto self = weak_from_this().lock();
    if (self && callbacks_.ended) callbacks_.ended(*this);
}

void SessionLink::awaitProof(std::chrono::milliseconds within) {
    proof_.start(within);
}

void SessionLink::proven() {
    proof_.stop();
}

void SessionLink::retire(std::chrono::milliseconds within) {
    retiring_ = true;
    retire_.start(within);
}

void SessionLink::heard() {
    connection_->send({&kHeard, 1});
}

bool SessionLink::send(std::span<const std::byte> message) {
    return connection_->send(message);
}

bool SessionLink::sendMedia(std::span<const std::byte> message) {
    if (theyHear_ && message.size() <= kMaxSealedMessage && media_) {
        return media_->send(*sealer_, peerIpv4_, setup_.peerUdp, message);
    }
    // The stream is the main thread's; a backed-up main thread drops media.
    if (queuedMedia_.fetch_add(1) >= kMaxQueuedMedia) {
        --queuedMedia_;
        return false;
    }
    std::vector<std::byte> copy(message.begin(), message.end());
    // Posted to the link itself: dropped unsent if the link goes first.
    QMetaObject::invokeMethod(
        this,
        [this, copy = std::move(copy)] {
            --queuedMedia_;
            // Never queued behind a file or a backlog: late media is no use.
            if (connection_->backlog() < kMediaBusyBacklog) connection_->send(copy);
        },
        Qt::QueuedConnection);
    return true;
}

void SessionLink::close() {
    ping_.stop();
    idle_.stop();
    probe_.stop();
    retire_.stop();
    proof_.stop();
    connection_->close();
}

void SessionLink::abandon() {
    connection_->setCallbacks({});
    close();
}

}  // namespace merrowfax::lan

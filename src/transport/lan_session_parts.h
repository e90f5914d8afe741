#pragma once

// What the member files of Sessions share: the states of a connection being
// named and of a session, kept out of the public header.

#include <QTimer>

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "transport/lan_connection.h"
#include "transport/lan_sessions.h"
#include "transport/media_seal.h"

namespace merrowfax::lan {

inline std::span<const std::byte> asBytes(const std::string& text) {
    return {reinterpret_cast<const std::byte*>(text.data()), text.size()};
}

// A connection that has not named itself yet: accepted, or opened by an
// invitation.
struct Sessions::Pending {
    std::unique_ptr<Connection> connection;
    std::string invited;  // the key invited; empty for an accepted connection
    std::uint32_t address = 0;
    // What the peer is to seal its datagrams to us with.
    Inbound inbound{newSessionId(), newSessionKey()};
    QTimer deadline;
};

struct Sessions::Session {
    std::string key;
    bool weInvited = false;
    std::unique_ptr<Connection> connection;
    std::uint32_t peerIpv4 = 0;
    std::uint16_t peerUdp = 0;
    std::uint16_t peerPort = 0;  // where the peer takes connections
    std::uint64_t inboundId = 0;
    std::unique_ptr<DatagramSealer> sealer;  // for what we send
    std::atomic<bool> theyHear = false;      // our datagrams reach the peer
    std::atomic<int> queuedMedia = 0;
    int probes = 0;
    bool retiring = false;
    QTimer ping, idle, probe, retire;
    QTimer proof;  // closes the session unless its device proves a number
};

}  // namespace merrowfax::lan

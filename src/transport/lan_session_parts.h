#pragma once

// What the member files of Sessions share: the state of a connection being
// named, kept out of the public header.

#include <QTimer>

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

}  // namespace merrowfax::lan

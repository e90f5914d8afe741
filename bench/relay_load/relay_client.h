#pragma once

#include "client.h"

namespace merrowfax::bench {

// A client of merrowfax-relay's live endpoint: registers its number in the
// handshake and sends payloads as they are, the relay reading the target
// from each one.
class RelayClient final : public Client {
public:
    using Client::Client;

protected:
    std::string target() const override;
    Out envelope(std::shared_ptr<const std::string> payload, bool binary) const override;
    void onMessage(std::string_view data, bool binary) override;
};

}  // namespace merrowfax::bench

#pragma once

#include "client.h"
#include "nats_parser.h"

namespace merrowfax::bench {

// A client of nats-server's WebSocket listener speaking the NATS text
// protocol: it subscribes to its own number as a subject and publishes to
// its partner's.
class NatsClient final : public Client {
public:
    using Client::Client;

protected:
    std::string target() const override { return "/"; }
    void onOpen() override;
    Out envelope(std::shared_ptr<const std::string> payload, bool binary) const override;
    void onMessage(std::string_view data, bool binary) override;

private:
    void onOp(const NatsParser::Op& op);

    NatsParser parser_;
};

}  // namespace merrowfax::bench

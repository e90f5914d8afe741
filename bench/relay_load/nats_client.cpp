#include "nats_client.h"

#include "load.h"
#include "report.h"

namespace merrowfax::bench {

void NatsClient::onOpen() {
    // The PING's PONG tells that the server has taken the subscription.
    auto hello = std::make_shared<const std::string>(
        R"(CONNECT {"verbose":false,"pedantic":false,"headers":false,"protocol":1,)"
        R"("lang":"cpp","version":"0.1","name":"relay_load"})"
        "\r\nSUB " +
        number + " 1\r\nPING\r\n");
    push({{}, std::move(hello), {}, false});
}

// Always binary: PUB carries the payload's bytes whatever they are.
Client::Out NatsClient::envelope(std::shared_ptr<const std::string> payload, bool) const {
    const auto& to = load_.conns[partner]->number;
    std::string head = "PUB " + to + " " + std::to_string(payload->size()) + "\r\n";
    return {std::move(head), std::move(payload), "\r\n", true};
}

void NatsClient::onMessage(std::string_view data, bool) {
    if (!parser_.feed(data, [this](const NatsParser::Op& op) { onOp(op); }))
        fail("bad NATS protocol");
}

void NatsClient::onOp(const NatsParser::Op& op) {
    using Kind = NatsParser::Kind;
    switch (op.kind) {
        case Kind::msg:
            deliver(op.payload);
            break;
        case Kind::ping:
            push({{}, std::make_shared<const std::string>("PONG\r\n"), {}, false});
            break;
        case Kind::pong:
            if (opening()) opened();
            break;
        case Kind::err:
            note("nats error on " + number + ":" + std::string(op.payload));
            break;
        case Kind::info:
        case Kind::ok:
            break;
    }
}

}  // namespace merrowfax::bench

#include "relay_client.h"

#include <unistd.h>

namespace merrowfax::bench {

std::string RelayClient::target() const {
    return "/merrowfax/live?number=" + number + "&name=Bench&device=Mac&computer=bench-" +
           std::to_string(::getpid()) + "-" + std::to_string(index);
}

Client::Out RelayClient::envelope(std::shared_ptr<const std::string> payload, bool binary) const {
    return {{}, std::move(payload), {}, binary};
}

void RelayClient::onMessage(std::string_view data, bool binary) {
    if (binary || !opening()) return deliver(data);
    // Before "pin" only the relay's own records come.
    if (data.find(R"("op":"pin")") != std::string_view::npos) {
        opened();
    } else if (data.find(R"("op":"denied")") != std::string_view::npos) {
        fail("denied");
    }
}

}  // namespace merrowfax::bench

#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Who client `index` is: its number, and the loopback address it connects
// from. Both follow from the index alone, so a client can name its partner
// without asking anyone.
namespace merrowfax::bench {

// Canonical number text for client `index`: "0-1-100-0000" onwards.
std::string numberFor(std::size_t index);

// The IPv4 source address (host order) of client `index` when `perSource`
// clients share one: 127.0.0.2 onwards, skipping .255 and .0 in the last
// byte. Spreading clients over addresses keeps each under the ephemeral port
// range; a `perSource` of 0 counts as 1.
std::uint32_t loopbackSource(std::size_t index, std::size_t perSource);

}  // namespace merrowfax::bench

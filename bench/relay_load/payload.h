#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// What the load generator sends: text records and media frames as the
// application's internet line carries them, each with the sender's clock
// reading and a per-stream sequence number inside, so the receiving side can
// measure latency, loss and reordering whatever server carried them.
namespace merrowfax::bench {

struct Stamp {
    std::uint64_t sentNs = 0;  // generator's steady clock
    std::uint32_t seq = 0;
};

// A "text" record of exactly `size` bytes (longer only when `size` cannot
// hold the fields), the stamp at the front of its body.
std::string textRecord(std::string_view to, std::string_view id, Stamp stamp, double sentUnix,
                       std::size_t size);
// The stamp of a text record, also after the relay added its "number".
std::optional<Stamp> textStamp(std::string_view record);

// An internet-line binary frame: kind, target length, target, then
// `mediaSize` bytes of media that open with the stamp.
std::string mediaFrame(std::uint8_t kind, std::string_view target, Stamp stamp,
                       std::size_t mediaSize);
std::optional<Stamp> mediaStamp(std::string_view frame);

// "XXXXXXXX-XXXX-4XXX-XXXX-XXXXXXXXXXXX" from two words.
std::string upperUuid(std::uint64_t high, std::uint64_t low);

}  // namespace merrowfax::bench

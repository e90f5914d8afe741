#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "base/date.h"
#include "wire/envelope.h"
#include "wire/envelope_json.h"
#include "wire/frames.h"
#include "wire/peer_event.h"

// From received records and frames to events: which operations each
// transport carries, the fields each needs, and the defaults of the others.
namespace merrowfax::wire {

enum class Transport { lan, net };

// Largest payload a record can carry once decoded.
inline constexpr std::size_t kMaxPayloadBytes = kMaxEnvelopeBytes / 4 * 3;

// LAN "roster": the peer tells which number it serves. The link stores a
// non-empty `number` under `peerKey`, then publishes who is online.
struct RosterUpdate {
    std::string peerKey;
    std::string number, name, device;  // empty when absent
    std::string cert;                  // the number statement; empty when absent
    bool operator==(const RosterUpdate&) const = default;
};

// A "file" record whose bytes must land in a local file before the app hears
// of it. Net: `bytes` holds the decoded payload; the line writes it to
// `localName` in the temporary folder. LAN: `resource` names the transfer that
// carries the bytes; the link keeps this until that transfer completes, then
// copies the received file to `localName` in the temporary folder. Either way
// the transport then emits std::move(incoming).arrived(path). When the bytes
// cannot be stored there is no event.
struct IncomingFile {
    events::File event;  // `url` still empty
    Bytes bytes;
    std::string resource;
    std::string localName;  // fresh per record, safe as one path component

    events::File arrived(std::string path) && {
        event.url = std::move(path);
        return std::move(event);
    }
};

using Incoming = std::variant<PeerEvent, IncomingFile, RosterUpdate>;

// Interprets a decoded envelope. `peerKey` is the sending peer's key on the
// LAN and the sender's number on the internet line; `receivedAt` stands in for
// an absent `sent`. Nothing when the op is unknown or not carried by this
// transport, a required field is missing, `id` is present but not a UUID, or
// a payload does not decode ("audio" needs at least 2 bytes).
std::optional<Incoming> receiveEnvelope(const Envelope& envelope, Transport transport,
                                        std::string_view peerKey, Date receivedAt);

// Media frames: kinds 2, 3, 4 on the LAN; 2 to 5 on the internet line. Other
// kinds (the LAN's kind 1 is an envelope for decodeEnvelope) give nothing.
// The event names its sender: on the LAN the number the link knows for the
// sending peer (`from`), on the internet line the frame's number field, which
// the relay service fills with the sender's registered number.
std::optional<PeerEvent> eventFromFrame(const LanFrame& frame, std::string_view from);
std::optional<PeerEvent> eventFromFrame(const NetFrame& frame);

// A name from the network made safe as one file name: no path separators,
// control characters, "." or ".."; at most 200 bytes, cut on a character
// boundary. Empty input gives "file".
std::string safeFileName(std::string_view name);

}  // namespace merrowfax::wire

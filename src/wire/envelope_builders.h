#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "base/date.h"
#include "base/uuid.h"
#include "wire/envelope.h"

// Envelopes as the senders build them. Each sets `op` and the fields that
// operation needs; callers add optional ones (`device`, `name`, ...) on the
// result. The internet line leaves `number` out (the relay service stamps
// it); the LAN link fills the sender's identity with fillSender.
namespace merrowfax::wire {

Envelope textEnvelope(const Uuid& id, std::string to, std::string body, Date sent);
Envelope deliveredEnvelope(const Uuid& id, std::string to);
Envelope deleteEnvelope(const Uuid& id, std::string to);
Envelope callEnvelope(std::string signal, const Uuid& id, std::string to, bool video);
// `audioBase64` is the chunk already in base64, as the media engine hands it.
Envelope audioEnvelope(std::string to, std::string audioBase64);
Envelope talkEnvelope(bool start, std::string to, std::string name);
// A file over the internet line: the bytes travel base64 in `payload`.
Envelope netFileEnvelope(const Uuid& id, std::string to, std::string fileName, std::string fileKind,
                         Date sent, std::span<const std::byte> bytes);
// A file on the LAN: the bytes follow as the resource transfer `resource`.
Envelope lanFileEnvelope(const Uuid& id, std::string to, std::string fileName, std::string fileKind,
                         Date sent, std::string resource);
Envelope rosterEnvelope();
Envelope linkHelloEnvelope(std::string linkCode, std::string device, std::string deviceName,
                           std::string computer);
Envelope linkAccountEnvelope(std::string name, std::string country, std::int64_t cityCode,
                             std::int64_t subscriber, std::string device, std::string deviceName);
Envelope linkJoinedEnvelope(std::string device, std::string deviceName);
Envelope unlinkEnvelope(std::string device);
// Relay-service requests that carry nothing but their op ("ping", "book").
Envelope requestEnvelope(std::string op);

// The LAN sender's identity, filled in only where the envelope leaves it out.
void fillSender(Envelope& envelope, std::string_view device, std::string_view number,
                std::string_view name);

}  // namespace merrowfax::wire

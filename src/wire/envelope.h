#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/date.h"

namespace merrowfax::wire {

// The flat JSON record both transports carry, and the one the relay service
// forwards. `op` names the operation; every other field is optional and left
// out of the JSON when absent. Texts are kept as they travel: `id` is checked
// for UUID form when the record is interpreted (see receiveEnvelope).
struct Envelope {
    std::string op;
    std::optional<std::string> id;
    std::optional<std::string> number;  // sender's number text
    std::optional<std::string> name;    // sender's display name
    std::optional<std::string> device;  // sender's device identity
    std::optional<std::string> text;    // message body; typed text on "desk"
    std::optional<bool> video;
    std::optional<std::string> call;  // call signal; "start"/"end" on "talk"
    std::optional<Date> sent;
    std::optional<std::string> linkCode;
    std::optional<std::string> to;  // recipient's number text
    std::optional<std::string> country;
    std::optional<std::int64_t> cityCode;
    std::optional<std::int64_t> subscriber;
    std::optional<std::string> deviceName;
    std::optional<std::string> fileName;
    std::optional<std::string> fileKind;  // "image", "audio" or "file"
    std::optional<std::string> resource;  // LAN resource transfer carrying a file
    std::optional<std::string> payload;   // base64 content (internet line)
    std::optional<std::string> desk;      // screen-sharing action
    std::optional<bool> control;
    std::optional<double> x;
    std::optional<double> y;
    std::optional<double> dy;
    std::optional<std::string> phase;
    std::optional<std::int64_t> n;  // click count
    std::optional<std::string> key;
    std::optional<std::string> cert;  // "roster": the sender's number statement
    // "link-hello": the seeker's secret identity with the relay service; only
    // ever inside an encrypted LAN session.
    std::optional<std::string> computer;

    bool operator==(const Envelope&) const = default;
};

}  // namespace merrowfax::wire

#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "base/date.h"
#include "base/uuid.h"

// What both transports deliver to the app: one value per received record,
// frame or finished transfer.
namespace merrowfax::wire {

using Bytes = std::vector<std::byte>;

namespace events {

// Numbers reachable now (relay presence, or the LAN peers' numbers).
struct Online {
    std::set<std::string> numbers;
    bool operator==(const Online&) const = default;
};

struct Text {
    Uuid id;
    std::string from, to, device, name, body;
    Date sent = 0;
    std::string peerKey;
    bool operator==(const Text&) const = default;
};

struct Delivered {
    Uuid id;
    std::string from;  // who says it arrived; empty when the record named nobody
    bool operator==(const Delivered&) const = default;
};

struct Call {
    std::string signal;
    Uuid id;
    std::string from, device, name;
    bool video = false;
    std::string peerKey;
    bool operator==(const Call&) const = default;
};

struct Audio {
    Bytes bytes;
    std::string from;  // the sender's number; empty when unknown
    bool operator==(const Audio&) const = default;
};

struct Video {
    Bytes bytes;
    std::string from;  // the sender's number; empty when unknown
    bool operator==(const Video&) const = default;
};

struct Walkie {
    Bytes bytes;
    std::string from;  // the sender's number; empty when unknown
    bool operator==(const Walkie&) const = default;
};

struct Talk {
    bool start = false;
    std::string name, from;
    bool operator==(const Talk&) const = default;
};

struct LinkHello {
    std::string code, device, deviceName, peerKey;
    std::string computer;  // the seeker's identity with the relay service; may be empty
    bool operator==(const LinkHello&) const = default;
};

struct LinkAccount {
    std::string name, country;
    std::int64_t cityCode = 0, subscriber = 0;
    std::string device, deviceName, peerKey;
    bool operator==(const LinkAccount&) const = default;
};

struct LinkJoined {
    std::string device, deviceName;
    bool operator==(const LinkJoined&) const = default;
};

struct Unlink {
    std::string device;  // the device unlinked
    // The number the sending peer proved, and its key on the LAN.
    std::string from, peerKey;
    bool operator==(const Unlink&) const = default;
};

// A sync snapshot received and copied to a local file.
struct Snapshot {
    std::string path;
    std::string peerKey;  // the device that sent it
    bool operator==(const Snapshot&) const = default;
};

struct File {
    Uuid id;
    std::string from, to, device, name, fileName, kind;
    Date sent = 0;
    std::string url;  // local file holding the bytes
    bool operator==(const File&) const = default;
};

struct Desk {
    std::string from, name, device, action;
    bool control = false;
    double x = 0, y = 0, dy = 0;
    std::string phase;
    std::int64_t clicks = 1;
    std::string text, key;
    bool operator==(const Desk&) const = default;
};

struct DeskFrame {
    Bytes bytes;
    std::string from;  // the sender's number; empty when unknown
    bool operator==(const DeskFrame&) const = default;
};

struct Deleted {
    Uuid id;
    std::string from, to;
    bool operator==(const Deleted&) const = default;
};

}  // namespace events

using PeerEvent =
    std::variant<events::Online, events::Text, events::Delivered, events::Call, events::Audio,
                 events::Video, events::Walkie, events::Talk, events::LinkHello,
                 events::LinkAccount, events::LinkJoined, events::Unlink, events::Snapshot,
                 events::File, events::Desk, events::DeskFrame, events::Deleted>;

}  // namespace merrowfax::wire

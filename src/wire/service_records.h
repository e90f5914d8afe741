#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "wire/envelope.h"
#include "wire/peer_event.h"

// Records of the relay service that are not envelopes: what the internet
// line receives besides envelopes, and the contact book it stores there.
namespace merrowfax::wire {

// One contact in the book kept by the relay service. On receipt a field of
// the wrong type reads as absent; the importer skips entries without name
// or number and reads a missing `blocked` as false.
struct BookEntry {
    std::optional<std::string> name, number;
    std::optional<bool> blocked;
    bool operator==(const BookEntry&) const = default;
};

namespace service {

struct Miss {
    std::string to;  // empty when absent
    bool operator==(const Miss&) const = default;
};
struct Pong {
    bool operator==(const Pong&) const = default;
};
struct Book {
    std::vector<BookEntry> contacts;  // empty when absent or not a list of objects
    bool operator==(const Book&) const = default;
};
struct Pin {
    bool hasPin = false, business = false;  // false when absent
    std::string error;                      // empty when absent
    bool operator==(const Pin&) const = default;
};
struct Denied {
    std::string reason;  // "Wrong PIN." when absent
    bool operator==(const Denied&) const = default;
};
// The service's signed word for the number this connection proved
// (wire/number_statement.h); empty when absent.
struct Statement {
    std::string cert;
    bool operator==(const Statement&) const = default;
};

}  // namespace service

// "presence" reads straight as the `online` event: its `numbers` when they
// are a list of texts, else the empty set.
using ServiceRecord = std::variant<events::Online, service::Miss, service::Pong, service::Book,
                                   service::Pin, service::Denied, service::Statement>;

// A JSON object whose string `op` is one of the service's records; nothing
// otherwise, and the text may then be an envelope. Same bounds as envelopes
// (size, depth, UTF-8); fields of the wrong type read as absent.
std::optional<ServiceRecord> decodeServiceRecord(std::string_view json);

// What the internet line receives as a text message, from one parse: a
// service record, else an envelope (decodeEnvelope's rules); nothing when
// it is neither.
using LineRecord = std::variant<ServiceRecord, Envelope>;
std::optional<LineRecord> decodeLineRecord(std::string_view json);

// The relay service's answer to a computer lookup: a JSON object with the
// `number` and `name` of the account last registered from that computer
// (empty texts when absent or not texts). Nothing when it is not an object.
struct ComputerAccount {
    std::string number, name;
    bool operator==(const ComputerAccount&) const = default;
};
std::optional<ComputerAccount> decodeComputerAccount(std::string_view json);

// One page of the public directory: every key required, of its type.
struct DirectoryEntry {
    std::string number, name;
    bool business = false;
    bool operator==(const DirectoryEntry&) const = default;
};
struct DirectoryPage {
    std::vector<DirectoryEntry> people;  // in the service's order
    bool more = false;                   // a further page follows
    std::string after;                   // the cursor of that page
    bool operator==(const DirectoryPage&) const = default;
};
std::optional<DirectoryPage> decodeDirectoryPage(std::string_view json);

// {"op":"book","contacts":[...]}: stores the book with the relay service.
std::optional<std::string> encodeBookStore(std::span<const BookEntry> contacts);
// {"op":"trust","computer":ID} or "untrust": lets a linked device's computer
// take the number without its PIN, or no longer.
std::optional<std::string> encodeTrust(const std::string& computer, bool trust);

}  // namespace merrowfax::wire

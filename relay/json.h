#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <rapidjson/document.h>

#include "relay/hub.h"

// The service's own JSON records and the checks of what clients send.
namespace merrowfax::relay::json {

// Parses a JSON object; absent for anything else, nesting beyond 32 or a
// key repeated within one object at any depth.
std::optional<rapidjson::Document> parseObject(std::string_view text);

// A string member, or absent when missing or of another type.
std::optional<std::string_view> string(const rapidjson::Value& object, const char* key);

// The object re-encoded with `number` set to the given text. Absent when a
// string decodes to invalid UTF-8 (a lone surrogate escape): such a record is
// not passed on.
std::optional<std::string> stamped(rapidjson::Document& record, const std::string& number);

// Records a client may send to another number; anything else is dropped, so
// nobody can make the service's own records ("denied", "presence", ...) reach
// another device.
bool isForwarded(std::string_view op);

std::string record(std::string_view op);  // {"op":op}
std::string miss(const std::string& to);
std::string presence(const std::vector<std::string>& numbers);
std::string pin(bool hasPin, bool business, const std::string& error);
std::string denied(const std::string& reason);
std::string cert(const std::string& statement);     // {"op":"cert","cert":statement}
std::string book(const std::string& contactsJson);  // contacts: stored JSON array

// A stored contact book re-encoded from what a client sent: at most `limit`
// entries of {name, number, blocked}; entries whose number is not a number
// are left out. Absent when `contacts` is not an array or is too long.
struct Book {
    std::string json;
    BookNumbers numbers;
};
std::optional<Book> cleanBook(const rapidjson::Value& contacts, std::size_t limit);
BookNumbers bookNumbers(const std::string& json);

std::string lookup(const std::string& number, const std::string& name);
std::string verifyKey(const std::string& publicKey);  // {"key":publicKey,"alg":"ed25519"}
std::string error(std::string_view message);

struct PageRow {
    std::string number;
    std::string name;
    bool business = false;
};
std::string page(const std::vector<PageRow>& rows, bool more, const std::string& after);

}  // namespace merrowfax::relay::json

#include "wire/service_records.h"

#include <cstdint>

#include <rapidjson/document.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "wire/bounded_json.h"
#include "wire/envelope_json.h"

namespace merrowfax::wire {
namespace {

using rapidjson::Document;
using rapidjson::SizeType;
using rapidjson::Value;

const Value* member(const Value& object, const char* key) {
    auto it = object.FindMember(key);
    return it == object.MemberEnd() ? nullptr : &it->value;
}

std::optional<std::string> text(const Value& object, const char* key) {
    const Value* v = member(object, key);
    if (!v || !v->IsString()) return std::nullopt;
    return std::string(v->GetString(), v->GetStringLength());
}

std::optional<bool> flag(const Value& object, const char* key) {
    const Value* v = member(object, key);
    if (!v || !v->IsBool()) return std::nullopt;
    return v->GetBool();
}

events::Online presence(const Value& record) {
    events::Online online;
    const Value* numbers = member(record, "numbers");
    if (!numbers || !numbers->IsArray()) return online;
    for (const Value& n : numbers->GetArray()) {
        if (!n.IsString()) return {};
        online.numbers.emplace(n.GetString(), n.GetStringLength());
    }
    return online;
}

service::Book book(const Value& record) {
    service::Book book;
    const Value* contacts = member(record, "contacts");
    if (!contacts || !contacts->IsArray()) return book;
    for (const Value& c : contacts->GetArray()) {
        if (!c.IsObject()) return {};
        book.contacts.push_back({text(c, "name"), text(c, "number"), flag(c, "blocked")});
    }
    return book;
}

}  // namespace

std::optional<ServiceRecord> decodeServiceRecord(std::string_view json) {
    // Service records are small: start the pool with 1 KB, not RapidJSON's 64 KB.
    rapidjson::MemoryPoolAllocator<> pool(1024);
    Document document(&pool);
    if (!parseBoundedObject(json, document, kMaxEnvelopeBytes)) return std::nullopt;
    const Value& record = document;
    auto op = text(record, "op");
    if (!op) return std::nullopt;
    if (*op == "presence") return presence(record);
    if (*op == "miss") return service::Miss{text(record, "to").value_or("")};
    if (*op == "pong") return service::Pong{};
    if (*op == "book") return book(record);
    if (*op == "pin") {
        return service::Pin{flag(record, "hasPin").value_or(false),
                            flag(record, "business").value_or(false),
                            text(record, "error").value_or("")};
    }
    if (*op == "denied") return service::Denied{text(record, "reason").value_or("Wrong PIN.")};
    return std::nullopt;
}

std::optional<std::string> encodeBookStore(std::span<const BookEntry> contacts) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer, rapidjson::UTF8<>, rapidjson::UTF8<>,
                      rapidjson::CrtAllocator, rapidjson::kWriteValidateEncodingFlag>
        writer(buffer);
    auto string = [&](std::string_view s) {
        return writer.String(s.data(), static_cast<SizeType>(s.size()));
    };
    bool ok = writer.StartObject() && string("op") && string("book") && string("contacts") &&
              writer.StartArray();
    for (const BookEntry& entry : contacts) {
        if (!ok) break;
        ok = writer.StartObject() && (!entry.name || (string("name") && string(*entry.name))) &&
             (!entry.number || (string("number") && string(*entry.number))) &&
             (!entry.blocked || (string("blocked") && writer.Bool(*entry.blocked))) &&
             writer.EndObject();
    }
    if (!ok || !writer.EndArray() || !writer.EndObject() || buffer.GetSize() > kMaxEnvelopeBytes) {
        return std::nullopt;
    }
    return std::string(buffer.GetString(), buffer.GetSize());
}

std::optional<ComputerAccount> decodeComputerAccount(std::string_view json) {
    Document document;
    if (!parseBoundedObject(json, document, kMaxEnvelopeBytes)) return std::nullopt;
    return ComputerAccount{text(document, "number").value_or(std::string()),
                           text(document, "name").value_or(std::string())};
}

std::optional<DirectoryPage> decodeDirectoryPage(std::string_view json) {
    Document document;
    if (!parseBoundedObject(json, document, kMaxEnvelopeBytes)) return std::nullopt;
    const Value* people = member(document, "people");
    const auto more = flag(document, "more");
    auto after = text(document, "after");
    if (!people || !people->IsArray() || !more || !after) return std::nullopt;
    DirectoryPage page;
    page.more = *more;
    page.after = std::move(*after);
    page.people.reserve(people->Size());
    for (const Value& row : people->GetArray()) {
        if (!row.IsObject()) return std::nullopt;
        auto number = text(row, "number");
        auto name = text(row, "name");
        const auto business = flag(row, "business");
        if (!number || !name || !business) return std::nullopt;
        page.people.push_back({std::move(*number), std::move(*name), *business});
    }
    return page;
}

}  // namespace merrowfax::wire

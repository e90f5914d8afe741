#include "wire/service_records.h"

#include <cstdint>

#include <rapidjson/document.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "model/utf8.h"
#include "wire/envelope_json.h"

namespace merrowfax::wire {
namespace {

using rapidjson::Document;
using rapidjson::SizeType;
using rapidjson::Value;

// Forwards parse events to a document while bounding the nesting: a
// document's values are freed recursively, so depth must stay small.
class DepthLimit {
public:
    explicit DepthLimit(Document& document) : d_(document) {}
    bool Null() { return d_.Null(); }
    bool Bool(bool b) { return d_.Bool(b); }
    bool Int(int i) { return d_.Int(i); }
    bool Uint(unsigned u) { return d_.Uint(u); }
    bool Int64(std::int64_t i) { return d_.Int64(i); }
    bool Uint64(std::uint64_t u) { return d_.Uint64(u); }
    bool Double(double x) { return d_.Double(x); }
    bool RawNumber(const char* s, SizeType n, bool copy) { return d_.RawNumber(s, n, copy); }
    // The reader validates the raw bytes but not what an escape decodes to:
    // a lone surrogate ("\ude00") would become bytes that are not UTF-8.
    bool String(const char* s, SizeType n, bool copy) {
        return isValidUtf8({s, n}) && d_.String(s, n, copy);
    }
    bool Key(const char* s, SizeType n, bool copy) {
        return isValidUtf8({s, n}) && d_.Key(s, n, copy);
    }
    bool StartObject() { return ++depth_ <= kMaxEnvelopeDepth && d_.StartObject(); }
    bool StartArray() { return ++depth_ <= kMaxEnvelopeDepth && d_.StartArray(); }
    bool EndObject(SizeType n) { return --depth_, d_.EndObject(n); }
    bool EndArray(SizeType n) { return --depth_, d_.EndArray(n); }

private:
    Document& d_;
    int depth_ = 0;
};

bool parse(std::string_view json, Document& document) {
    if (json.size() > kMaxEnvelopeBytes) return false;
    constexpr unsigned kFlags =
        rapidjson::kParseValidateEncodingFlag | rapidjson::kParseIterativeFlag;
    rapidjson::MemoryStream stream(json.data(), json.size());
    bool ok = false;
    auto generate = [&](Document& handler) {
        DepthLimit limit(handler);
        rapidjson::Reader reader;
        ok = !reader.Parse<kFlags>(stream, limit).IsError();
        return ok;
    };
    document.Populate(generate);
    // The reader stops at a NUL byte as if the input ended there.
    return ok && stream.Tell() == json.size() && document.IsObject();
}

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
    if (!parse(json, document)) return std::nullopt;
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
    if (!parse(json, document)) return std::nullopt;
    return ComputerAccount{text(document, "number").value_or(std::string()),
                           text(document, "name").value_or(std::string())};
}

}  // namespace merrowfax::wire

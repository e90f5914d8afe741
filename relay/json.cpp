#include "relay/json.h"

#include <algorithm>

#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "relay/query.h"

namespace merrowfax::relay::json {
namespace {

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

void key(Writer& w, const char* k) {
    w.Key(k);
}
void str(Writer& w, std::string_view s) {
    w.String(s.data(), static_cast<rapidjson::SizeType>(s.size()));
}

std::string done(rapidjson::StringBuffer& buffer) {
    return std::string(buffer.GetString(), buffer.GetSize());
}

std::string_view keyOf(const rapidjson::Value::Member& m) {
    return {m.name.GetString(), m.name.GetStringLength()};
}

bool keysUnique(const rapidjson::Value& object) {
    const auto count = object.MemberCount();
    if (count < 2) return true;
    const auto begin = object.MemberBegin();
    if (count <= 16) {
        for (auto a = begin; a != object.MemberEnd(); ++a)
            for (auto b = a + 1; b != object.MemberEnd(); ++b)
                if (keyOf(*a) == keyOf(*b)) return false;
        return true;
    }
    std::vector<std::string_view> keys;
    keys.reserve(count);
    for (const auto& m : object.GetObject()) keys.push_back(keyOf(m));
    std::sort(keys.begin(), keys.end());
    return std::adjacent_find(keys.begin(), keys.end()) == keys.end();
}

// Bounded nesting and no repeated key anywhere: readers disagree on which of
// two equal keys wins, so a repeated "number" or "op" could mean one thing
// here and another at the receiver.
bool wellFormed(const rapidjson::Value& v, int depth) {
    if (depth == 0) return false;
    if (v.IsObject()) {
        if (!keysUnique(v)) return false;
        for (const auto& m : v.GetObject())
            if (!wellFormed(m.value, depth - 1)) return false;
    } else if (v.IsArray()) {
        for (const auto& e : v.GetArray())
            if (!wellFormed(e, depth - 1)) return false;
    }
    return true;
}

}  // namespace

std::optional<rapidjson::Document> parseObject(std::string_view text) {
    // Iterative parsing: deep nesting cannot exhaust the stack.
    rapidjson::Document doc;
    doc.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag>(text.data(),
                                                                                      text.size());
    if (doc.HasParseError() || !doc.IsObject() || !wellFormed(doc, 32)) return std::nullopt;
    return doc;
}

std::optional<std::string_view> string(const rapidjson::Value& object, const char* k) {
    const auto it = object.FindMember(k);
    if (it == object.MemberEnd() || !it->value.IsString()) return std::nullopt;
    return std::string_view(it->value.GetString(), it->value.GetStringLength());
}

std::optional<std::string> stamped(rapidjson::Document& record, const std::string& number) {
    auto& alloc = record.GetAllocator();
    record.RemoveMember("number");
    record.AddMember("number", rapidjson::Value(number.c_str(), alloc), alloc);
    rapidjson::StringBuffer buffer;
    // The reader validates the bytes it gets but not what a lone surrogate escape
    // decodes to; the writer checks the result.
    rapidjson::Writer<rapidjson::StringBuffer, rapidjson::UTF8<>, rapidjson::UTF8<>,
                      rapidjson::CrtAllocator, rapidjson::kWriteValidateEncodingFlag>
        w(buffer);
    if (!record.Accept(w)) return std::nullopt;
    return done(buffer);
}

bool isForwarded(std::string_view op) {
    return op == "text" || op == "delivered" || op == "delete" || op == "call" || op == "audio" ||
           op == "talk" || op == "file" || op == "desk";
}

std::string record(std::string_view op) {
    rapidjson::StringBuffer b;
    Writer w(b);
    w.StartObject();
    key(w, "op");
    str(w, op);
    w.EndObject();
    return done(b);
}

std::string miss(const std::string& to) {
    rapidjson::StringBuffer b;
    Writer w(b);
    w.StartObject();
    key(w, "op");
    str(w, "miss");
    key(w, "to");
    str(w, to);
    w.EndObject();
    return done(b);
}

std::string presence(const std::vector<std::string>& numbers) {
    rapidjson::StringBuffer b;
    Writer w(b);
    w.StartObject();
    key(w, "op");
    str(w, "presence");
    key(w, "numbers");
    w.StartArray();
    for (const auto& n : numbers) str(w, n);
    w.EndArray();
    w.EndObject();
    return done(b);
}

std::string pin(bool hasPin, bool business, const std::string& error) {
    rapidjson::StringBuffer b;
    Writer w(b);
    w.StartObject();
    key(w, "op");
    str(w, "pin");
    key(w, "hasPin");
    w.Bool(hasPin);
    key(w, "business");
    w.Bool(business);
    if (!error.empty()) {
        key(w, "error");
        str(w, error);
    }
    w.EndObject();
    return done(b);
}

std::string denied(const std::string& reason) {
    rapidjson::StringBuffer b;
    Writer w(b);
    w.StartObject();
    key(w, "op");
    str(w, "denied");
    key(w, "reason");
    str(w, reason);
    w.EndObject();
    return done(b);
}

std::string cert(const std::string& statement) {
    rapidjson::StringBuffer b;
    Writer w(b);
    w.StartObject();
    key(w, "op");
    str(w, "cert");
    key(w, "cert");
    str(w, statement);
    w.EndObject();
    return done(b);
}

std::string book(const std::string& contactsJson) {
    return R"({"op":"book","contacts":)" + contactsJson + "}";
}

std::optional<Book> cleanBook(const rapidjson::Value& contacts, std::size_t limit) {
    if (!contacts.IsArray() || contacts.Size() > limit) return std::nullopt;
    Book out;
    rapidjson::StringBuffer b;
    Writer w(b);
    w.StartArray();
    for (const auto& entry : contacts.GetArray()) {
        if (!entry.IsObject()) continue;
        const auto number = string(entry, "number");
        if (!number || !canonicalNumber(*number)) continue;
        const auto name = string(entry, "name");
        const auto found = entry.FindMember("blocked");
        const bool blocked =
            found != entry.MemberEnd() && found->value.IsBool() && found->value.GetBool();
        w.StartObject();
        key(w, "name");
        str(w, name && isCleanText(*name) ? clipText(*name, 100) : std::string());
        key(w, "number");
        str(w, *number);
        key(w, "blocked");
        w.Bool(blocked);
        w.EndObject();
        out.numbers.numbers.emplace_back(*number);
        if (blocked) out.numbers.blocked.emplace_back(*number);
    }
    w.EndArray();
    out.json = done(b);
    return out;
}

BookNumbers bookNumbers(const std::string& stored) {
    BookNumbers out;
    rapidjson::Document doc;
    doc.Parse(stored.data(), stored.size());
    if (doc.HasParseError() || !doc.IsArray()) return out;
    for (const auto& entry : doc.GetArray()) {
        if (!entry.IsObject()) continue;
        const auto n = string(entry, "number");
        if (!n) continue;
        out.numbers.emplace_back(*n);
        const auto blocked = entry.FindMember("blocked");
        if (blocked != entry.MemberEnd() && blocked->value.IsTrue()) out.blocked.emplace_back(*n);
    }
    return out;
}

std::string lookup(const std::string& number, const std::string& name) {
    rapidjson::StringBuffer b;
    Writer w(b);
    w.StartObject();
    key(w, "number");
    str(w, number);
    key(w, "name");
    str(w, name);
    w.EndObject();
    return done(b);
}

std::string verifyKey(const std::string& publicKey) {
    rapidjson::StringBuffer b;
    Writer w(b);
    w.StartObject();
    key(w, "key");
    str(w, publicKey);
    key(w, "alg");
    str(w, "ed25519");
    w.EndObject();
    return done(b);
}

std::string error(std::string_view message) {
    rapidjson::StringBuffer b;
    Writer w(b);
    w.StartObject();
    key(w, "error");
    str(w, message);
    w.EndObject();
    return done(b);
}

std::string page(const std::vector<PageRow>& rows, bool more, const std::string& after) {
    rapidjson::StringBuffer b;
    Writer w(b);
    w.StartObject();
    key(w, "people");
    w.StartArray();
    for (const auto& r : rows) {
        w.StartObject();
        key(w, "number");
        str(w, r.number);
        key(w, "name");
        str(w, r.name);
        key(w, "business");
        w.Bool(r.business);
        w.EndObject();
    }
    w.EndArray();
    key(w, "more");
    w.Bool(more);
    key(w, "after");
    str(w, after);
    w.EndObject();
    return done(b);
}

}  // namespace merrowfax::relay::json

#include "relay/cluster_wire.h"

#include <algorithm>
#include <random>
#include <span>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "relay/json.h"
#include "relay/query.h"
#include "wire/frames.h"

namespace merrowfax::relay::cluster {
namespace {

constexpr std::size_t kMaxBeat = 256;
constexpr std::size_t kMaxClosing = 64;  // computers in one closing
constexpr std::size_t kMaxTag = 200;
constexpr std::size_t kMaxNumber = 64;  // bytes of one number in a list

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

void string(Writer& w, std::string_view text) {
    w.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
}

std::string done(const rapidjson::StringBuffer& buffer) {
    return {buffer.GetString(), buffer.GetSize()};
}

bool isNumber(std::string_view text) {
    const auto canonical = canonicalNumber(text);
    return canonical && *canonical == text;
}

// A list of canonical numbers, or absent when anything in it is not one.
std::optional<std::vector<std::string>> numbers(const rapidjson::Value& object, const char* key,
                                                std::size_t limit) {
    std::vector<std::string> out;
    const auto it = object.FindMember(key);
    if (it == object.MemberEnd()) return out;
    if (!it->value.IsArray() || it->value.Size() > limit) return std::nullopt;
    out.reserve(it->value.Size());
    for (const auto& n : it->value.GetArray()) {
        if (!n.IsString()) return std::nullopt;
        const std::string_view text(n.GetString(), n.GetStringLength());
        if (!isNumber(text)) return std::nullopt;
        out.emplace_back(text);
    }
    return out;
}

bool flag(const rapidjson::Value& object, const char* key) {
    const auto it = object.FindMember(key);
    return it != object.MemberEnd() && it->value.IsBool() && it->value.GetBool();
}

}  // namespace

std::string newNodeId() {
    std::random_device random;
    std::string id;
    static constexpr char kHex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < kNodeId; ++i) id.push_back(kHex[random() & 15]);
    return id;
}

bool isNodeId(std::string_view id) {
    return id.size() == kNodeId && std::all_of(id.begin(), id.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

void envelope(std::string& out, char kind, std::string_view sender, std::string_view payload) {
    out.clear();
    out.reserve(2 + sender.size() + payload.size());
    out.push_back(kind);
    out.push_back(static_cast<char>(static_cast<unsigned char>(sender.size())));
    out.append(sender);
    out.append(payload);
}

std::optional<Envelope> openEnvelope(std::string_view data, const std::string& to,
                                     std::size_t maxText, std::size_t maxBinary) {
    if (data.size() < 2) return std::nullopt;
    const auto senderSize = static_cast<unsigned char>(data[1]);
    if (data.size() < 2u + senderSize) return std::nullopt;
    const Envelope out{data[0], data.substr(2, senderSize), data.substr(2 + senderSize)};
    if (out.kind == kQuery) return out;
    if (out.kind == kClosing)
        return out.payload.size() <= 64 * 1024 ? std::optional(out) : std::nullopt;
    if (!isNumber(out.sender)) return std::nullopt;
    if (out.kind == kRecord || out.kind == kMediaRecord) {
        if (out.payload.size() > maxText + 256) return std::nullopt;  // the stamp may add a little
        const auto record = json::parseObject(out.payload);
        if (!record || json::string(*record, "number") != out.sender ||
            json::string(*record, "to") != to)
            return std::nullopt;
        const auto op = json::string(*record, "op");
        return op && json::isForwarded(*op) ? std::optional(out) : std::nullopt;
    }
    if (out.kind != kFrame || out.payload.size() > maxBinary + 2 + senderSize) return std::nullopt;
    const auto frame = wire::parseNetFrame(
        std::span(reinterpret_cast<const std::byte*>(out.payload.data()), out.payload.size()));
    if (!frame || !wire::isMediaKind(frame->kind) || frame->target != out.sender)
        return std::nullopt;
    return out;
}

std::string encodeState(std::string_view node, const std::vector<ConnKey>& conns,
                        const std::unordered_set<std::string>* book,
                        const std::unordered_set<std::string>* blocked, bool bookSet) {
    rapidjson::StringBuffer buffer;
    Writer w(buffer);
    w.StartObject();
    w.Key("node");
    string(w, node);
    w.Key("conns");
    w.StartArray();
    for (const auto& c : conns) {
        w.StartArray();
        w.Int64(c.sinceMs);
        w.Uint64(c.order);
        w.EndArray();
    }
    w.EndArray();
    auto list = [&](const char* key, const std::unordered_set<std::string>* set) {
        if (!set) return;
        w.Key(key);
        w.StartArray();
        for (const auto& n : *set) string(w, n);
        w.EndArray();
    };
    list("book", book);
    list("blocked", blocked);
    if (bookSet) {
        w.Key("bookSet");
        w.Bool(true);
    }
    w.EndObject();
    return done(buffer);
}

std::optional<State> parseState(std::string_view data, std::size_t maxConns, std::size_t maxBook) {
    if (data.size() > kMaxNumber * (2 * maxBook + maxConns) + 1024) return std::nullopt;
    const auto doc = json::parseObject(data);
    if (!doc) return std::nullopt;
    const auto node = json::string(*doc, "node");
    const auto conns = doc->FindMember("conns");
    if (!node || !isNodeId(*node) || conns == doc->MemberEnd() || !conns->value.IsArray() ||
        conns->value.Size() > maxConns)
        return std::nullopt;
    State out;
    out.node = *node;
    for (const auto& c : conns->value.GetArray()) {
        if (!c.IsArray() || c.Size() != 2 || !c[0].IsInt64() || !c[1].IsUint64())
            return std::nullopt;
        out.conns.push_back({c[0].GetInt64(), c[1].GetUint64()});
    }
    auto book = numbers(*doc, "book", maxBook);
    auto blocked = numbers(*doc, "blocked", maxBook);
    if (!book || !blocked) return std::nullopt;
    out.book = std::move(*book);
    out.blocked = std::move(*blocked);
    out.bookSet = flag(*doc, "bookSet");
    return out;
}

std::string encodeBeat(std::string_view node, bool bye) {
    rapidjson::StringBuffer buffer;
    Writer w(buffer);
    w.StartObject();
    w.Key("node");
    string(w, node);
    if (bye) {
        w.Key("bye");
        w.Bool(true);
    }
    w.EndObject();
    return done(buffer);
}

std::optional<Beat> parseBeat(std::string_view data) {
    if (data.size() > kMaxBeat) return std::nullopt;
    const auto doc = json::parseObject(data);
    const auto node = doc ? json::string(*doc, "node") : std::nullopt;
    if (!node || !isNodeId(*node)) return std::nullopt;
    return Beat{std::string(*node), flag(*doc, "bye")};
}

std::string encodeClosing(const std::vector<std::string>& computers, bool allBut) {
    rapidjson::StringBuffer buffer;
    Writer w(buffer);
    w.StartObject();
    w.Key("computers");
    w.StartArray();
    for (const auto& c : computers) string(w, c);
    w.EndArray();
    w.Key("allBut");
    w.Bool(allBut);
    w.EndObject();
    std::string out;
    envelope(out, kClosing, {}, std::string_view(buffer.GetString(), buffer.GetSize()));
    return out;
}

std::optional<Closing> parseClosing(std::string_view payload) {
    const auto doc = json::parseObject(payload);
    if (!doc) return std::nullopt;
    const auto computers = doc->FindMember("computers");
    const auto allBut = doc->FindMember("allBut");
    if (computers == doc->MemberEnd() || !computers->value.IsArray() ||
        computers->value.Size() > kMaxClosing || allBut == doc->MemberEnd() ||
        !allBut->value.IsBool())
        return std::nullopt;
    Closing out;
    out.allBut = allBut->value.GetBool();
    for (const auto& c : computers->value.GetArray()) {
        if (!c.IsString() || c.GetStringLength() > kMaxTag) return std::nullopt;
        out.computers.emplace_back(c.GetString(), c.GetStringLength());
    }
    return out;
}

}  // namespace merrowfax::relay::cluster

#include "wire/service_records.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <set>

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

// Reads a service record from the events of the envelope parse. As with a
// parsed document, the first of repeated keys counts and a value of the
// wrong type reads as absent.
class ServiceReader final : public RecordReader {
public:
    std::optional<ServiceRecord> result() const {
        if (!complete_ || !op_) return std::nullopt;
        if (*op_ == "presence") {
            return events::Online{numbersBad_ ? std::set<std::string>() : numbers_};
        }
        if (*op_ == "miss") return service::Miss{to_.value_or("")};
        if (*op_ == "pong") return service::Pong{};
        if (*op_ == "book") {
            return service::Book{contactsBad_ ? std::vector<BookEntry>() : contacts_};
        }
        if (*op_ == "pin") {
            return service::Pin{hasPin_.value_or(false), business_.value_or(false),
                                error_.value_or("")};
        }
        if (*op_ == "denied") return service::Denied{reason_.value_or("Wrong PIN.")};
        if (*op_ == "cert") return service::Statement{cert_.value_or("")};
        return std::nullopt;
    }

    bool key(std::string_view k) override {
        if (hasLoneSurrogate(k)) return false;
        if (depth_ == 1) {
            slot_ = firstTime(topSeen_, indexOf(kTopKeys, k));
        } else if (depth_ == 3 && inEntry_) {
            entrySlot_ = firstTime(entrySeen_, indexOf(kEntryKeys, k));
        }
        return true;
    }
    bool string(std::string_view v) override {
        if (depth_ == 1) {
            std::optional<std::string>* field = slot_ == kOp       ? &op_
                                                : slot_ == kTo     ? &to_
                                                : slot_ == kError  ? &error_
                                                : slot_ == kReason ? &reason_
                                                : slot_ == kCert   ? &cert_
                                                                   : nullptr;
            if (field) return keep(*field, v);
        } else if (depth_ == 2 && inNumbers_) {
            if (hasLoneSurrogate(v)) return false;
            numbers_.emplace(v);
        } else if (depth_ == 2 && inContacts_) {
            contactsBad_ = true;
        } else if (depth_ == 3 && inEntry_ && entrySlot_ == kName) {
            return keep(contacts_.back().name, v);
        } else if (depth_ == 3 && inEntry_ && entrySlot_ == kNumber) {
            return keep(contacts_.back().number, v);
        }
        return true;
    }
    bool boolean(bool b) override {
        if (depth_ == 1 && slot_ == kHasPin) hasPin_ = b;
        if (depth_ == 1 && slot_ == kBusiness) business_ = b;
        if (depth_ == 3 && inEntry_ && entrySlot_ == kBlocked) contacts_.back().blocked = b;
        return other();
    }
    bool other() override {
        if (depth_ == 2) {
            numbersBad_ = numbersBad_ || inNumbers_;
            contactsBad_ = contactsBad_ || inContacts_;
        }
        return true;
    }
    bool open(bool object) override {
        if (depth_ == 0 && !object) return false;  // the root must be an object
        if (depth_ == 1 && !object) {
            inNumbers_ = slot_ == kNumbers;
            inContacts_ = slot_ == kContacts;
        } else if (depth_ == 2) {
            numbersBad_ = numbersBad_ || inNumbers_;
            if (inContacts_ && object) {
                inEntry_ = true;
                entrySeen_ = 0;
                entrySlot_ = kIgnored;
                contacts_.emplace_back();
            } else {
                contactsBad_ = contactsBad_ || inContacts_;
            }
        }
        return ++depth_ <= kMaxEnvelopeDepth;
    }
    bool close() override {
        --depth_;
        if (depth_ == 1) inNumbers_ = inContacts_ = false;
        if (depth_ == 2) inEntry_ = false;
        return true;
    }
    void finish(bool complete) override { complete_ = complete; }

private:
    static constexpr int kIgnored = -1;
    enum Top { kOp, kNumbers, kTo, kContacts, kHasPin, kBusiness, kError, kReason, kCert };
    static constexpr std::array<std::string_view, 9> kTopKeys{
        "op", "numbers", "to", "contacts", "hasPin", "business", "error", "reason", "cert"};
    enum Entry { kName, kNumber, kBlocked };
    static constexpr std::array<std::string_view, 3> kEntryKeys{"name", "number", "blocked"};

    template <std::size_t N>
    static int indexOf(const std::array<std::string_view, N>& keys, std::string_view k) {
        auto it = std::find(keys.begin(), keys.end(), k);
        return it == keys.end() ? kIgnored : static_cast<int>(it - keys.begin());
    }
    static int firstTime(unsigned& seen, int slot) {
        if (slot == kIgnored) return kIgnored;
        const unsigned bit = 1u << slot;
        if (seen & bit) return kIgnored;
        seen |= bit;
        return slot;
    }
    static bool keep(std::optional<std::string>& field, std::string_view v) {
        if (hasLoneSurrogate(v)) return false;
        field.emplace(v);
        return true;
    }

    int depth_ = 0;
    int slot_ = kIgnored;
    unsigned topSeen_ = 0;
    bool inNumbers_ = false, inContacts_ = false, inEntry_ = false;
    int entrySlot_ = kIgnored;
    unsigned entrySeen_ = 0;
    bool complete_ = false;

    std::optional<std::string> op_, to_, error_, reason_, cert_;
    std::optional<bool> hasPin_, business_;
    std::set<std::string> numbers_;
    bool numbersBad_ = false;
    std::vector<BookEntry> contacts_;
    bool contactsBad_ = false;
};

}  // namespace

std::optional<ServiceRecord> decodeServiceRecord(std::string_view json) {
    ServiceReader reader;
    decodeEnvelope(json, reader);
    return reader.result();
}

std::optional<LineRecord> decodeLineRecord(std::string_view json) {
    // One parse read two ways: the service's own records first, as their
    // ops are not envelopes.
    ServiceReader service;
    auto envelope = decodeEnvelope(json, service);
    std::optional<LineRecord> line;
    if (auto record = service.result()) {
        line.emplace(std::in_place_index<0>, std::move(*record));
    } else if (envelope) {
        line.emplace(std::in_place_index<1>, std::move(*envelope));
    }
    return line;
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

std::optional<std::string> encodeTrust(const std::string& computer, bool trust) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer, rapidjson::UTF8<>, rapidjson::UTF8<>,
                      rapidjson::CrtAllocator, rapidjson::kWriteValidateEncodingFlag>
        writer(buffer);
    const char* op = trust ? "trust" : "untrust";
    const bool ok = writer.StartObject() && writer.String("op") && writer.String(op) &&
                    writer.String("computer") &&
                    writer.String(computer.data(), static_cast<SizeType>(computer.size())) &&
                    writer.EndObject();
    if (!ok) return std::nullopt;
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

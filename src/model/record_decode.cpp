#include <algorithm>
#include <array>
#include <cstdint>

#include "model/json_tape.h"
#include "model/record_json.h"

namespace merrowfax {
namespace {

using json::Cursor;

// One key of a record: how to read its value into the record, and whether a
// document without it fails.
template <typename R>
struct Field {
    std::string_view key;
    bool (*read)(Cursor&, R&);
    bool required = true;
};

bool readValue(Cursor& c, std::string& out) {
    return c.read(out);
}
bool readValue(Cursor& c, bool& out) {
    return c.read(out);
}
bool readValue(Cursor& c, double& out) {
    return c.read(out);
}
bool readValue(Cursor& c, Uuid& out) {
    return c.read(out);
}
// A count kept by this program: a value out of range is taken as 0 rather
// than losing the file over it.
bool readValue(Cursor& c, int& out) {
    double value = 0;
    if (!c.read(value)) return false;
    out = value >= 0 && value <= 1e9 ? static_cast<int>(value) : 0;
    return true;
}
bool readValue(Cursor& c, StoredWord<MessageStatus>& out) {
    std::string word;
    if (!c.read(word)) return false;
    out = messageStatusOf(std::move(word));
    return true;
}
bool readValue(Cursor& c, StoredWord<CallDirection>& out) {
    std::string word;
    if (!c.read(word)) return false;
    out = callDirectionOf(std::move(word));
    return true;
}
bool readValue(Cursor& c, Directory& out);
bool readValue(Cursor& c, VirtualNumber& out);
bool readValue(Cursor& c, LinkedDevice& out);
bool readValue(Cursor& c, Account& out);
bool readValue(Cursor& c, Contact& out);
bool readValue(Cursor& c, Message& out);
bool readValue(Cursor& c, ChatThread& out);
bool readValue(Cursor& c, CallRecord& out);
bool readValue(Cursor& c, StoredDatabase& out);
bool readValue(Cursor& c, SyncSnapshot& out);

template <typename T>
bool readValue(Cursor& c, std::optional<T>& out) {
    if (c.takeNull()) {
        out.reset();
        return true;
    }
    return readValue(c, out.emplace());
}

template <typename T>
bool readValue(Cursor& c, std::vector<T>& out) {
    std::size_t count = 0;
    if (!c.enterArray(&count)) return false;
    // Every record takes at least 8 tokens (three required keys), so the
    // reservation stays proportional to the input whatever count claims.
    out.reserve(std::min(count, c.remaining() / 8));
    while (!c.arrayEnds()) {
        if (!readValue(c, out.emplace_back())) return false;
    }
    return true;
}

template <auto Member, typename R>
bool member(Cursor& c, R& r) {
    return readValue(c, r.*Member);
}

template <typename R, std::size_t N>
bool readRecord(Cursor& c, R& r, const std::array<Field<R>, N>& fields) {
    static_assert(N <= 32);
    if (!c.enterObject()) return false;
    std::uint32_t seen = 0;
    // Keys usually come in table order (we write them so): start each search
    // after the previous match, which makes our own documents one compare per
    // key.
    std::size_t next = 0;
    while (auto key = c.nextKey()) {
        std::size_t i = next, tried = 0;
        while (tried < N && fields[i].key != *key) {
            i = i + 1 == N ? 0 : i + 1;
            ++tried;
        }
        if (tried == N) {
            c.skipValue();
            continue;
        }
        const std::uint32_t bit = std::uint32_t{1} << i;
        if (seen & bit) return false;
        seen |= bit;
        if (!fields[i].read(c, r)) return false;
        next = i + 1 == N ? 0 : i + 1;
    }
    for (std::size_t i = 0; i < N; ++i) {
        if (fields[i].required && !(seen & (std::uint32_t{1} << i))) return false;
    }
    return true;
}

bool readValue(Cursor& c, Directory& out) {
    if (!c.enterObject()) return false;
    while (auto key = c.nextKey()) {
        std::string name;
        if (!c.read(name)) return false;
        if (!out.try_emplace(std::string(*key), std::move(name)).second) return false;
    }
    return true;
}

bool readCityCode(Cursor& c, VirtualNumber& n) {
    return c.readInteger(n.cityCode) && n.cityCode >= 1;
}

bool readSubscriber(Cursor& c, VirtualNumber& n) {
    return c.readInteger(n.subscriber) && n.subscriber >= 1 && n.subscriber <= 9'999'999;
}

bool readCountry(Cursor& c, VirtualNumber& n) {
    return c.read(n.country.code);
}

bool readValue(Cursor& c, VirtualNumber& out) {
    static constexpr std::array<Field<VirtualNumber>, 3> kFields{{
        {"country", readCountry},
        {"cityCode", readCityCode},
        {"subscriber", readSubscriber},
    }};
    return readRecord(c, out, kFields);
}

bool readValue(Cursor& c, LinkedDevice& out) {
    using R = LinkedDevice;
    static constexpr std::array<Field<R>, 6> kFields{{
        {"id", member<&R::id>},
        {"name", member<&R::name>},
        {"kind", member<&R::kind>},
        {"linkedAt", member<&R::linkedAt>},
        {"lastSeen", member<&R::lastSeen>},
        {"computer", member<&R::computer>, false},
    }};
    return readRecord(c, out, kFields);
}

bool readValue(Cursor& c, Account& out) {
    using R = Account;
    static constexpr std::array<Field<R>, 8> kFields{{
        {"id", member<&R::id>},
        {"deviceId", member<&R::deviceId>},
        {"displayName", member<&R::displayName>},
        {"number", member<&R::number>},
        {"createdAt", member<&R::createdAt>},
        {"isCompanion", member<&R::isCompanion>},
        {"linkedDevices", member<&R::linkedDevices>},
        {"accountKind", member<&R::accountKind>, false},  // "personal" when missing
    }};
    return readRecord(c, out, kFields);
}

bool readValue(Cursor& c, Contact& out) {
    using R = Contact;
    static constexpr std::array<Field<R>, 4> kFields{{
        {"id", member<&R::id>},
        {"name", member<&R::name>},
        {"number", member<&R::number>},
        {"blocked", member<&R::blocked>, false},  // false when missing
    }};
    return readRecord(c, out, kFields);
}

bool readValue(Cursor& c, Message& out) {
    using R = Message;
    static constexpr std::array<Field<R>, 10> kFields{{
        {"id", member<&R::id>},
        {"sender", member<&R::sender>},
        {"sentAt", member<&R::sentAt>},
        {"text", member<&R::text>},
        {"status", member<&R::status>},
        {"attachmentName", member<&R::attachmentName>, false},
        {"attachmentKind", member<&R::attachmentKind>, false},
        {"attachmentPath", member<&R::attachmentPath>, false},
        {"expiresAt", member<&R::expiresAt>, false},
        {"deletedForEveryone", member<&R::deletedForEveryone>, false},
    }};
    return readRecord(c, out, kFields);
}

bool readValue(Cursor& c, ChatThread& out) {
    using R = ChatThread;
    static constexpr std::array<Field<R>, 5> kFields{{
        {"id", member<&R::id>},
        {"title", member<&R::title>},
        {"messages", member<&R::messages>},
        {"updatedAt", member<&R::updatedAt>},
        {"unread", member<&R::unread>, false},
    }};
    return readRecord(c, out, kFields);
}

bool readValue(Cursor& c, CallRecord& out) {
    using R = CallRecord;
    static constexpr std::array<Field<R>, 7> kFields{{
        {"id", member<&R::id>},
        {"number", member<&R::number>},
        {"name", member<&R::name>},
        {"video", member<&R::video>},
        {"direction", member<&R::direction>},
        {"at", member<&R::at>},
        {"duration", member<&R::duration>},
    }};
    return readRecord(c, out, kFields);
}

bool readValue(Cursor& c, StoredDatabase& out) {
    using R = StoredDatabase;
    static constexpr std::array<Field<R>, 10> kFields{{
        {"deviceId", member<&R::deviceId>},
        {"account", member<&R::account>, false},
        {"contacts", member<&R::contacts>},
        {"threads", member<&R::threads>},
        {"calls", member<&R::calls>},
        {"directory", member<&R::directory>},
        {"channelId", member<&R::channelId>, false},
        {"lockScreenTalk", member<&R::lockScreenTalk>, false},
        {"walkieContactsOnly", member<&R::walkieContactsOnly>, false},
        {"keepInTray", member<&R::keepInTray>, false},
    }};
    return readRecord(c, out, kFields);
}

bool readValue(Cursor& c, SyncSnapshot& out) {
    using R = SyncSnapshot;
    static constexpr std::array<Field<R>, 5> kFields{{
        {"contacts", member<&R::contacts>},
        {"threads", member<&R::threads>},
        {"calls", member<&R::calls>},
        {"directory", member<&R::directory>},
        {"linked", member<&R::linked>},
    }};
    return readRecord(c, out, kFields);
}

template <typename T>
std::optional<T> decodeInPlace(std::string& json) {
    json::Tape tape;
    if (!json::parseTape(json, tape)) return std::nullopt;
    Cursor cursor(tape);
    T value;
    if (!readValue(cursor, value) || !cursor.atEnd()) return std::nullopt;
    return value;
}

template <typename T>
std::optional<T> decodeCopy(std::string_view json) {
    std::string scratch;
    scratch.reserve(json.size() + json::kTapePadding);
    scratch.assign(json);
    return decodeInPlace<T>(scratch);
}

}  // namespace

std::optional<StoredDatabase> decodeDatabase(std::string_view json) {
    return decodeCopy<StoredDatabase>(json);
}

std::optional<StoredDatabase> decodeDatabaseInPlace(std::string& json) {
    return decodeInPlace<StoredDatabase>(json);
}

std::optional<SyncSnapshot> decodeSnapshot(std::string_view json) {
    return decodeCopy<SyncSnapshot>(json);
}

std::optional<Message> decodeMessage(std::string_view json) {
    return decodeCopy<Message>(json);
}

}  // namespace merrowfax

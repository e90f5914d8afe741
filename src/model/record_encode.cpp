#include <algorithm>
#include <cstring>

#include <rapidjson/writer.h>
#include <unicode/utf8.h>

#include "base/json_number.h"
#include "base/utf8.h"
#include "model/record_json.h"

namespace merrowfax {
namespace {

// RapidJSON output stream straight into a std::string, reusing its capacity.
// The Writer reserves before each string and then writes unchecked, which the
// two free functions below make a plain pointer store (found by ADL).
class StringOut {
public:
    using Ch = char;

    explicit StringOut(std::string& s) : s_(s) {
        s_.resize(std::max<std::size_t>(s_.capacity(), 4096));
        p_ = s_.data();
        end_ = p_ + s_.size();
    }

    void Put(char c) {
        if (p_ == end_) grow(1);
        *p_++ = c;
    }
    void Flush() {}
    void reserve(std::size_t n) {
        if (static_cast<std::size_t>(end_ - p_) < n) grow(n);
    }
    void putUnsafe(char c) { *p_++ = c; }
    // Within a reservation.
    void putRun(const char* run, std::size_t n) {
        std::memcpy(p_, run, n);
        p_ += n;
    }
    void finish() { s_.resize(static_cast<std::size_t>(p_ - s_.data())); }

private:
    void grow(std::size_t n) {
        const auto used = static_cast<std::size_t>(p_ - s_.data());
        s_.resize(std::max(s_.size() * 2, used + n));
        p_ = s_.data() + used;
        end_ = s_.data() + s_.size();
    }

    std::string& s_;
    char* p_;
    char* end_;
};

inline void PutReserve(StringOut& out, std::size_t n) {
    out.reserve(n);
}
inline void PutUnsafe(StringOut& out, char c) {
    out.putUnsafe(c);
}

using Writer = rapidjson::Writer<StringOut>;

// True when one of the eight bytes must be escaped in a JSON string: a quote,
// a backslash or a control character. Bytes from 0x80 up pass unescaped.
inline bool escapeInWord(std::uint64_t w) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL, kHighs = 0x8080808080808080ULL;
    auto zeroByte = [](std::uint64_t v) {
        return (v - kOnes) & ~v & kHighs;
    };
    const std::uint64_t quote = zeroByte(w ^ (kOnes * '"'));
    const std::uint64_t backslash = zeroByte(w ^ (kOnes * '\\'));
    const std::uint64_t control = (w - kOnes * 0x20) & ~w & kHighs;
    return (quote | backslash | control) != 0;
}

}  // namespace
}  // namespace merrowfax

// The Writer copies string text one character at a time, checking each
// against its escape table; it leaves a hook for a faster scan (its own one
// is for StringBuffer only). Copy runs of plain bytes eight at a time and
// stop where an escape is due.
template <>
inline bool rapidjson::Writer<merrowfax::StringOut>::ScanWriteUnescapedString(StringStream& is,
                                                                              size_t length) {
    const char* p = is.src_;
    const char* const end = is.head_ + length;
    const char* run = p;
    while (end - p >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        if (merrowfax::escapeInWord(w)) break;
        p += 8;
    }
    for (; p < end; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == '"' || c == '\\') break;
    }
    os_->putRun(run, static_cast<std::size_t>(p - run));
    is.src_ = p;
    return p < end;
}

namespace merrowfax {
namespace {

// Broken sequences become U+FFFD (the JSON would otherwise not read back).
std::string repairedUtf8(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 8);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(s.data());
    const auto size = static_cast<std::int32_t>(s.size());
    for (std::int32_t i = 0; i < size;) {
        const std::int32_t start = i;
        UChar32 c;
        U8_NEXT(bytes, i, size, c);
        if (c < 0) {
            out += "\xEF\xBF\xBD";
        } else {
            out.append(s.data() + start, static_cast<std::size_t>(i - start));
        }
    }
    return out;
}

void text(Writer& w, std::string_view s, bool asKey = false) {
    // Text beyond 2 GiB cannot be measured by the checks below; such a
    // document would not be readable either.
    if (s.size() > INT32_MAX) s = {};
    if (isValidUtf8(s)) {
        const auto n = static_cast<rapidjson::SizeType>(s.size());
        asKey ? w.Key(s.data(), n) : w.String(s.data(), n);
        return;
    }
    const std::string fixed = repairedUtf8(s);
    const auto n = static_cast<rapidjson::SizeType>(fixed.size());
    asKey ? w.Key(fixed.data(), n) : w.String(fixed.data(), n);
}

template <std::size_t N>
void key(Writer& w, const char (&name)[N]) {
    w.Key(name, N - 1);
}

void write(Writer& w, const std::string& s) {
    text(w, s);
}
void write(Writer& w, bool b) {
    w.Bool(b);
}
void write(Writer& w, double d) {
    json::writeShortestDouble(w, d);
}
template <typename E>
void write(Writer& w, const StoredWord<E>& word) {
    text(w, wordOf(word));
}
void write(Writer& w, const Uuid& u) {
    // Upper-case text, formatted here: no allocation per id.
    static constexpr char kHex[] = "0123456789ABCDEF";
    char t[36];
    std::size_t at = 0;
    for (std::size_t b = 0; b < 16; ++b) {
        if (b == 4 || b == 6 || b == 8 || b == 10) t[at++] = '-';
        t[at++] = kHex[u.bytes()[b] >> 4];
        t[at++] = kHex[u.bytes()[b] & 15];
    }
    w.String(t, 36);
}

template <std::size_t N, typename T>
void field(Writer& w, const char (&name)[N], const T& value) {
    key(w, name);
    write(w, value);
}

template <std::size_t N, typename T>
void field(Writer& w, const char (&name)[N], const std::optional<T>& value) {
    if (!value) return;
    key(w, name);
    write(w, *value);
}

template <typename T>
void write(Writer& w, const std::vector<T>& items) {
    w.StartArray();
    for (const T& item : items) write(w, item);
    w.EndArray();
}

void write(Writer& w, const Directory& directory) {
    // Two broken keys can repair to the same text, and a repeated key would
    // fail the document on reading: repair first, keeping the first entry.
    for (const auto& entry : directory) {
        if (isValidUtf8(entry.first)) continue;
        Directory repaired;
        for (const auto& [number, name] : directory)
            repaired.try_emplace(repairedUtf8(number), name);
        return write(w, repaired);
    }
    w.StartObject();
    for (const auto& [number, name] : directory) {
        text(w, number, true);
        text(w, name);
    }
    w.EndObject();
}

void write(Writer& w, const VirtualNumber& n) {
    w.StartObject();
    field(w, "country", n.country.code);
    key(w, "cityCode");
    w.Int64(n.cityCode);
    key(w, "subscriber");
    w.Int64(n.subscriber);
    w.EndObject();
}

void write(Writer& w, const LinkedDevice& d) {
    w.StartObject();
    field(w, "id", d.id);
    field(w, "name", d.name);
    field(w, "kind", d.kind);
    field(w, "linkedAt", d.linkedAt);
    field(w, "lastSeen", d.lastSeen);
    field(w, "computer", d.computer);
    w.EndObject();
}

void write(Writer& w, const Account& a) {
    w.StartObject();
    field(w, "id", a.id);
    field(w, "deviceId", a.deviceId);
    field(w, "displayName", a.displayName);
    key(w, "number");
    write(w, a.number);
    field(w, "createdAt", a.createdAt);
    field(w, "isCompanion", a.isCompanion);
    key(w, "linkedDevices");
    write(w, a.linkedDevices);
    field(w, "accountKind", a.accountKind);
    w.EndObject();
}

void write(Writer& w, const Contact& c) {
    w.StartObject();
    field(w, "id", c.id);
    field(w, "name", c.name);
    field(w, "number", c.number);
    field(w, "blocked", c.blocked);
    w.EndObject();
}

void write(Writer& w, const Message& m) {
    w.StartObject();
    field(w, "id", m.id);
    field(w, "sender", m.sender);
    field(w, "sentAt", m.sentAt);
    field(w, "text", m.text);
    field(w, "status", m.status);
    field(w, "attachmentName", m.attachmentName);
    field(w, "attachmentKind", m.attachmentKind);
    field(w, "attachmentPath", m.attachmentPath);
    field(w, "expiresAt", m.expiresAt);
    field(w, "deletedForEveryone", m.deletedForEveryone);
    w.EndObject();
}

void write(Writer& w, const ChatThread& t) {
    w.StartObject();
    field(w, "id", t.id);
    field(w, "title", t.title);
    key(w, "messages");
    write(w, t.messages);
    field(w, "updatedAt", t.updatedAt);
    if (t.unread > 0) {
        key(w, "unread");
        w.Int(t.unread);
    }
    w.EndObject();
}

void write(Writer& w, const CallRecord& r) {
    w.StartObject();
    field(w, "id", r.id);
    field(w, "number", r.number);
    field(w, "name", r.name);
    field(w, "video", r.video);
    field(w, "direction", r.direction);
    field(w, "at", r.at);
    field(w, "duration", r.duration);
    w.EndObject();
}

void write(Writer& w, const StoredDatabase& db) {
    w.StartObject();
    field(w, "deviceId", db.deviceId);
    if (db.account) {
        key(w, "account");
        write(w, *db.account);
    }
    key(w, "contacts");
    write(w, db.contacts);
    key(w, "threads");
    write(w, db.threads);
    key(w, "calls");
    write(w, db.calls);
    key(w, "directory");
    write(w, db.directory);
    field(w, "channelId", db.channelId);
    field(w, "lockScreenTalk", db.lockScreenTalk);
    field(w, "walkieContactsOnly", db.walkieContactsOnly);
    field(w, "keepInTray", db.keepInTray);
    w.EndObject();
}

void write(Writer& w, const SyncSnapshot& s) {
    w.StartObject();
    key(w, "contacts");
    write(w, s.contacts);
    key(w, "threads");
    write(w, s.threads);
    key(w, "calls");
    write(w, s.calls);
    key(w, "directory");
    write(w, s.directory);
    key(w, "linked");
    write(w, s.linked);
    w.EndObject();
}

template <typename T>
void encodeInto(const T& value, std::string& out) {
    StringOut stream(out);
    Writer writer(stream);
    write(writer, value);
    stream.finish();
}

template <typename T>
std::string encoded(const T& value) {
    std::string out;
    encodeInto(value, out);
    return out;
}

}  // namespace

void encodeDatabase(const StoredDatabase& database, std::string& out) {
    encodeInto(database, out);
}
std::string encodeDatabase(const StoredDatabase& database) {
    return encoded(database);
}
std::string encodeSnapshot(const SyncSnapshot& snapshot) {
    return encoded(snapshot);
}
std::string encodeMessage(const Message& message) {
    return encoded(message);
}
std::string encodeAccount(const Account& account) {
    return encoded(account);
}
std::string encodeContacts(const std::vector<Contact>& contacts) {
    return encoded(contacts);
}
std::string encodeThreads(const std::vector<ChatThread>& threads) {
    return encoded(threads);
}
std::string encodeCalls(const std::vector<CallRecord>& calls) {
    return encoded(calls);
}
std::string encodeDirectory(const Directory& directory) {
    return encoded(directory);
}

}  // namespace merrowfax

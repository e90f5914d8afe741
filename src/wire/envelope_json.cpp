#include "wire/envelope_json.h"

#include <array>
#include <bitset>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <variant>

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "base/json_number.h"

namespace merrowfax::wire {
namespace {

using StringField = std::optional<std::string> Envelope::*;
using BoolField = std::optional<bool> Envelope::*;
using NumberField = std::optional<double> Envelope::*;
using IntegerField = std::optional<std::int64_t> Envelope::*;
using Member = std::variant<StringField, BoolField, NumberField, IntegerField>;

struct Field {
    std::string_view key;
    Member member;
};

// Every optional field with its JSON key, in the order they are written.
const std::array<Field, 28> kFields{{
    {"id", &Envelope::id},
    {"number", &Envelope::number},
    {"name", &Envelope::name},
    {"device", &Envelope::device},
    {"text", &Envelope::text},
    {"video", &Envelope::video},
    {"call", &Envelope::call},
    {"sent", &Envelope::sent},
    {"linkCode", &Envelope::linkCode},
    {"to", &Envelope::to},
    {"country", &Envelope::country},
    {"cityCode", &Envelope::cityCode},
    {"subscriber", &Envelope::subscriber},
    {"deviceName", &Envelope::deviceName},
    {"fileName", &Envelope::fileName},
    {"fileKind", &Envelope::fileKind},
    {"resource", &Envelope::resource},
    {"payload", &Envelope::payload},
    {"desk", &Envelope::desk},
    {"control", &Envelope::control},
    {"x", &Envelope::x},
    {"y", &Envelope::y},
    {"dy", &Envelope::dy},
    {"phase", &Envelope::phase},
    {"n", &Envelope::n},
    {"key", &Envelope::key},
    {"cert", &Envelope::cert},
    {"computer", &Envelope::computer},
}};

constexpr int kOpSlot = static_cast<int>(kFields.size());
constexpr int kUnknownKey = -1;

int slotOf(std::string_view key) {
    if (key == "op") return kOpSlot;
    for (std::size_t i = 0; i < kFields.size(); ++i) {
        if (kFields[i].key == key) return static_cast<int>(i);
    }
    return kUnknownKey;
}

// -2^63 <= d < 2^63 and no fraction.
std::optional<std::int64_t> integralDouble(double d) {
    constexpr double kLimit = 9223372036854775808.0;
    if (!(d >= -kLimit && d < kLimit) || std::trunc(d) != d) return std::nullopt;
    return static_cast<std::int64_t>(d);
}

// A JSON number as written; converted here so that integers never pass
// through a double (-9223372036854775809 would round into range).
struct NumberText {
    std::string_view text;
};

// One JSON scalar as the reader reports it; monostate is null.
using Scalar = std::variant<std::monostate, bool, NumberText, std::string_view>;

// Exact and correctly rounded; beyond the double range gives nothing.
std::optional<double> toDouble(std::string_view text) {
    double d = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), d);
    if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return d;
}

// Digits must fit int64 as they stand; a fraction or exponent must come to
// an integral value in range (1.0, 1e3).
std::optional<std::int64_t> toInteger(std::string_view text) {
    if (text.find_first_of(".eE") == std::string_view::npos) {
        std::int64_t i = 0;
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), i);
        if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
        return i;
    }
    auto d = toDouble(text);
    return d ? integralDouble(*d) : std::nullopt;
}

// SAX handler filling an Envelope from the top-level object's keys and
// skipping the insides of unknown keys. Returning false aborts the parse.
class EnvelopeHandler {
public:
    Envelope envelope;
    bool hasOp = false;

    bool Null() { return scalar(std::monostate{}); }
    bool Bool(bool b) { return scalar(b); }
    // Numbers arrive as text (kParseNumbersAsStringsFlag).
    bool Int(int) { return false; }
    bool Int64(std::int64_t) { return false; }
    bool Uint(unsigned) { return false; }
    bool Uint64(std::uint64_t) { return false; }
    bool Double(double) { return false; }
    bool RawNumber(const char* s, rapidjson::SizeType n, bool) {
        return scalar(NumberText{std::string_view(s, n)});
    }
    bool String(const char* s, rapidjson::SizeType n, bool) {
        return scalar(std::string_view(s, n));
    }
    bool StartObject() { return open(true); }
    bool StartArray() { return open(false); }
    bool EndObject(rapidjson::SizeType) { return close(); }
    bool EndArray(rapidjson::SizeType) { return close(); }
    bool Key(const char* s, rapidjson::SizeType n, bool) {
        if (depth_ != 1) return true;
        slot_ = slotOf(std::string_view(s, n));
        if (slot_ == kUnknownKey) return true;
        if (seen_.test(static_cast<std::size_t>(slot_))) return false;
        seen_.set(static_cast<std::size_t>(slot_));
        return true;
    }

private:
    bool open(bool object) {
        if (depth_ == 0 && !object) return false;               // the root must be an object
        if (depth_ == 1 && slot_ != kUnknownKey) return false;  // known keys hold scalars
        return ++depth_ <= kMaxEnvelopeDepth;
    }
    bool close() {
        --depth_;
        return true;
    }

    bool scalar(const Scalar& v) {
        if (depth_ == 0) return false;  // a bare scalar is not a record
        if (depth_ > 1 || slot_ == kUnknownKey) return true;
        if (std::holds_alternative<std::monostate>(v)) return true;
        if (slot_ == kOpSlot) {
            const auto* s = std::get_if<std::string_view>(&v);
            if (!s || hasLoneSurrogate(*s)) return false;
            envelope.op.assign(*s);
            hasOp = true;
            return true;
        }
        return std::visit([&](auto member) { return assign(member, v); },
                          kFields[static_cast<std::size_t>(slot_)].member);
    }

    bool assign(StringField member, const Scalar& v) {
        const auto* s = std::get_if<std::string_view>(&v);
        if (!s || hasLoneSurrogate(*s)) return false;
        envelope.*member = std::string(*s);
        return true;
    }
    bool assign(BoolField member, const Scalar& v) {
        const auto* b = std::get_if<bool>(&v);
        if (!b) return false;
        envelope.*member = *b;
        return true;
    }
    bool assign(NumberField member, const Scalar& v) {
        const auto* number = std::get_if<NumberText>(&v);
        auto value = number ? toDouble(number->text) : std::nullopt;
        if (!value) return false;
        envelope.*member = *value;
        return true;
    }
    bool assign(IntegerField member, const Scalar& v) {
        const auto* number = std::get_if<NumberText>(&v);
        auto value = number ? toInteger(number->text) : std::nullopt;
        if (!value) return false;
        envelope.*member = *value;
        return true;
    }

    int depth_ = 0;
    int slot_ = kUnknownKey;
    std::bitset<kFields.size() + 1> seen_;
};

// Hands each event to the envelope handler and to a second reader while
// either still reads; the parse stops when neither does.
class TeeHandler {
public:
    explicit TeeHandler(RecordReader& other) : other_(other) {}

    EnvelopeHandler envelope;
    bool envelopeReads = true;
    bool otherReads = true;

    bool Null() {
        return both([&] { return envelope.Null(); }, [&] { return other_.other(); });
    }
    bool Bool(bool b) {
        return both([&] { return envelope.Bool(b); }, [&] { return other_.boolean(b); });
    }
    bool Int(int) { return false; }
    bool Int64(std::int64_t) { return false; }
    bool Uint(unsigned) { return false; }
    bool Uint64(std::uint64_t) { return false; }
    bool Double(double) { return false; }
    bool RawNumber(const char* s, rapidjson::SizeType n, bool copy) {
        return both([&] { return envelope.RawNumber(s, n, copy); }, [&] { return other_.other(); });
    }
    bool String(const char* s, rapidjson::SizeType n, bool copy) {
        return both([&] { return envelope.String(s, n, copy); },
                    [&] { return other_.string(std::string_view(s, n)); });
    }
    bool Key(const char* s, rapidjson::SizeType n, bool copy) {
        return both([&] { return envelope.Key(s, n, copy); },
                    [&] { return other_.key(std::string_view(s, n)); });
    }
    bool StartObject() {
        return both([&] { return envelope.StartObject(); }, [&] { return other_.open(true); });
    }
    bool StartArray() {
        return both([&] { return envelope.StartArray(); }, [&] { return other_.open(false); });
    }
    bool EndObject(rapidjson::SizeType n) {
        return both([&] { return envelope.EndObject(n); }, [&] { return other_.close(); });
    }
    bool EndArray(rapidjson::SizeType n) {
        return both([&] { return envelope.EndArray(n); }, [&] { return other_.close(); });
    }

private:
    template <typename A, typename B>
    bool both(A first, B second) {
        if (envelopeReads) envelopeReads = first();
        if (otherReads) otherReads = second();
        return envelopeReads || otherReads;
    }

    RecordReader& other_;
};

using Writer = rapidjson::Writer<rapidjson::StringBuffer, rapidjson::UTF8<>, rapidjson::UTF8<>,
                                 rapidjson::CrtAllocator, rapidjson::kWriteValidateEncodingFlag>;

bool writeString(Writer& w, std::string_view s) {
    return w.String(s.data(), static_cast<rapidjson::SizeType>(s.size()));
}

bool writeValue(Writer& w, const std::string& v) {
    return writeString(w, v);
}
bool writeValue(Writer& w, bool v) {
    return w.Bool(v);
}
bool writeValue(Writer& w, double v) {
    return json::writeShortestDouble(w, v);
}
bool writeValue(Writer& w, std::int64_t v) {
    return w.Int64(v);
}

bool isJsonSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

}  // namespace

std::optional<std::string> encodeEnvelope(const Envelope& envelope) {
    rapidjson::StringBuffer buffer;
    Writer writer(buffer);
    bool ok = writer.StartObject() && writeString(writer, "op") && writeString(writer, envelope.op);
    for (const Field& field : kFields) {
        if (!ok) break;
        ok = std::visit(
            [&](auto member) {
                const auto& value = envelope.*member;
                return !value || (writeString(writer, field.key) && writeValue(writer, *value));
            },
            field.member);
    }
    if (!ok || !writer.EndObject() || buffer.GetSize() > kMaxEnvelopeBytes) return std::nullopt;
    return std::string(buffer.GetString(), buffer.GetSize());
}

namespace {

// One strict parse of a record into `handler`: true when the text is within
// the size bound, parses to its end and has only whitespace after the root.
template <typename Handler>
bool parseRecord(std::string_view json, Handler& handler) {
    if (json.size() > kMaxEnvelopeBytes) return false;
    // The iterative parser keeps nesting on the heap, so hostile depth cannot
    // exhaust the call stack; the handler stops it at kMaxEnvelopeDepth anyway.
    constexpr unsigned kFlags =
        rapidjson::kParseValidateEncodingFlag | rapidjson::kParseIterativeFlag |
        rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseStopWhenDoneFlag;
    rapidjson::MemoryStream stream(json.data(), json.size());
    rapidjson::Reader reader;
    if (reader.Parse<kFlags>(stream, handler).IsError()) return false;
    // Stopping after the root lets a NUL byte count as trailing garbage
    // instead of the end of the input.
    for (std::size_t i = stream.Tell(); i < json.size(); ++i) {
        if (!isJsonSpace(json[i])) return false;
    }
    return true;
}

}  // namespace

bool hasLoneSurrogate(std::string_view s) {
    // The reader turns a lone low-surrogate escape ("\udc00") into the bytes
    // ED B0 80, which are not UTF-8; valid input can produce ED A0..BF no
    // other way.
    for (std::size_t i = 0; i + 1 < s.size(); ++i) {
        if (static_cast<unsigned char>(s[i]) == 0xED &&
            static_cast<unsigned char>(s[i + 1]) >= 0xA0) {
            return true;
        }
    }
    return false;
}

std::optional<Envelope> decodeEnvelope(std::string_view json) {
    EnvelopeHandler handler;
    if (!parseRecord(json, handler) || !handler.hasOp) return std::nullopt;
    return std::move(handler.envelope);
}

std::optional<Envelope> decodeEnvelope(std::string_view json, RecordReader& also) {
    TeeHandler tee(also);
    const bool parsed = parseRecord(json, tee);
    also.finish(parsed && tee.otherReads);
    if (!parsed || !tee.envelopeReads || !tee.envelope.hasOp) return std::nullopt;
    return std::move(tee.envelope.envelope);
}

std::optional<Envelope> decodeEnvelope(std::span<const std::byte> json) {
    return decodeEnvelope(
        std::string_view(reinterpret_cast<const char*>(json.data()), json.size()));
}

}  // namespace merrowfax::wire

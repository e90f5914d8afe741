#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "wire/envelope.h"

// The one place where envelopes become JSON and back. Nothing else builds or
// reads envelope JSON by hand.
namespace merrowfax::wire {

// Largest envelope JSON accepted or produced, in bytes. The relay service
// takes text messages up to this size; it leaves room for a 900 KB file as
// base64 (about 1.2 MB) plus the other fields.
inline constexpr std::size_t kMaxEnvelopeBytes = 2 * 1024 * 1024;

// Deepest nesting accepted. Envelope fields are flat, but unknown keys may
// carry objects and arrays (the relay's "book" contacts nest three deep).
inline constexpr int kMaxEnvelopeDepth = 32;

// UTF-8 JSON with absent fields left out, dates and pointer positions as the
// shortest number that reads back to the same double. Nothing when a text is
// not valid UTF-8 or the result would exceed kMaxEnvelopeBytes: no receiver
// would accept it.
std::optional<std::string> encodeEnvelope(const Envelope& envelope);

// Strict decoding of one record. Rejected as a whole:
// - input over kMaxEnvelopeBytes, not a single JSON object (trailing bytes
//   other than whitespace included), invalid UTF-8 (lone surrogate escapes
//   included), nesting deeper than kMaxEnvelopeDepth;
// - no string `op`; a known key whose value has the wrong type;
// - a known key given twice: two readers of the record (the relay service
//   and a client) could otherwise disagree on which value counts;
// - a number beyond the double range (1e400; 1e-400 underflows); an integer
//   field (`cityCode`, `subscriber`, `n`) that is fractional or outside int64. An integral number
//   written as a float (1.0, 1e3) counts as that integer, as JSON does not tell them apart.
// `null` reads as absent; unknown keys are ignored; key order is free.
std::optional<Envelope> decodeEnvelope(std::string_view json);
std::optional<Envelope> decodeEnvelope(std::span<const std::byte> json);

// A second reader of the one parse that decodeEnvelope makes, for records
// that may be something else (the relay service's own records): it sees
// every event of the record in order. Numbers and null arrive as other().
// Returning false stops this reader only; the envelope is read on.
class RecordReader {
public:
    virtual ~RecordReader() = default;
    virtual bool key(std::string_view key) = 0;
    virtual bool string(std::string_view value) = 0;
    virtual bool boolean(bool value) = 0;
    virtual bool other() = 0;
    virtual bool open(bool object) = 0;
    virtual bool close() = 0;
    // Last: whether the text was one well-formed JSON object within the
    // bounds above and this reader read it to the end.
    virtual void finish(bool complete) = 0;
};
std::optional<Envelope> decodeEnvelope(std::string_view json, RecordReader& also);

// Whether unescaping left a lone surrogate (not UTF-8) in `text`.
bool hasLoneSurrogate(std::string_view text);

}  // namespace merrowfax::wire

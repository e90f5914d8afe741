#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/uuid.h"

// A JSON document as a flat list of tokens, read front to back by a Cursor.
// The parse validates everything once (syntax, UTF-8, nesting depth), so the
// decoders that walk the tokens only check shapes and types, and can be
// written as plain recursive descent instead of a SAX state machine.
namespace merrowfax::json {

enum class TokenKind : std::uint8_t {
    null,
    boolean,  // size 1 for true
    number,   // its text; converted when read, to the type the reader wants
    string,
    key,
    startObject,  // size: the member count
    endObject,
    startArray,  // size: the element count
    endArray,
};

// Eight bytes: text lives in the parsed buffer, so a token only locates it.
struct Token {
    static constexpr std::uint32_t kSizeBits = 28;
    static constexpr std::uint32_t kMaxSize = (1u << kSizeBits) - 1;

    std::uint32_t offset = 0;  // of the text in the buffer
    std::uint32_t info = 0;    // kind in the top bits, size below

    TokenKind kind() const { return static_cast<TokenKind>(info >> kSizeBits); }
    std::uint32_t size() const { return info & kMaxSize; }
};

// Nesting deeper than this fails the parse. Our records nest four levels; the
// margin leaves room for unknown keys of later versions.
inline constexpr int kMaxDepth = 64;

// Bytes parseTape appends to the buffer; reserve them to avoid a copy.
inline constexpr std::size_t kTapePadding = 16;

struct Tape {
    const char* text = nullptr;  // the parsed buffer
    std::vector<Token> tokens;
};

// Parses `buffer` in place: strings are unescaped inside it and tokens point
// into it, so it must outlive the tape and not be resized (kTapePadding bytes
// are appended first). Returns false for anything but exactly one valid JSON
// value in valid UTF-8: an embedded NUL byte outside strings, a lone surrogate
// escape, nesting over kMaxDepth, a string over 256 MiB or a document over
// 4 GiB all fail. The tape takes at most 8 bytes per input byte, and far less
// for real documents.
bool parseTape(std::string& buffer, Tape& tape);

// Pull reader over a tape. Every read returns false on a type mismatch and
// leaves the cursor undefined; callers give up on the whole document then.
class Cursor {
public:
    explicit Cursor(const Tape& tape)
        : text_(tape.text),
          at_(tape.tokens.data()),
          end_(tape.tokens.data() + tape.tokens.size()) {}

    bool atEnd() const { return at_ == end_; }
    // Tokens not read yet: a bound on what the rest of the input can hold.
    std::size_t remaining() const { return static_cast<std::size_t>(end_ - at_); }

    bool enterObject() { return take(TokenKind::startObject); }
    // The next key of the object entered last, or nothing at its end (which
    // is consumed). The tape is well formed, so keys and values alternate.
    std::optional<std::string_view> nextKey();
    // `count`, when given, receives the number of elements.
    bool enterArray(std::size_t* count = nullptr);
    // True (and consumed) at the end of the array entered last.
    bool arrayEnds() { return take(TokenKind::endArray); }

    // Consumes a null; false (consuming nothing) for anything else.
    bool takeNull() { return take(TokenKind::null); }
    void skipValue();

    bool read(std::string& out);
    bool read(bool& out);
    bool read(double& out);  // any JSON number within double range
    bool read(Uuid& out);    // its 36-character text, either case
    // An integer; a number written with fraction or exponent counts when it
    // is integral and fits.
    bool readInteger(std::int64_t& out);

private:
    bool take(TokenKind kind) {
        if (at_ == end_ || at_->kind() != kind) return false;
        ++at_;
        return true;
    }
    std::string_view textOf(const Token& t) const { return {text_ + t.offset, t.size()}; }

    const char* text_;
    const Token* at_;
    const Token* end_;
};

}  // namespace merrowfax::json

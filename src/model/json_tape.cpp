#include "model/json_tape.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

// SSE2 is part of x86-64: let the reader scan strings and whitespace 16
// bytes at a time (its aligned loads stay inside kTapePadding).
#if defined(__SSE2__) && !defined(RAPIDJSON_SSE2)
#define RAPIDJSON_SSE2
#endif
#include <rapidjson/reader.h>

#include "base/utf8.h"

namespace merrowfax::json {
namespace {

// Collects the reader's events as tokens and stops the parse (before the
// reader recurses further) once nesting passes kMaxDepth.
class TapeBuilder {
public:
    TapeBuilder(const char* base, std::vector<Token>& tokens, bool checkSurrogates)
        : base_(base), tokens_(tokens), checkSurrogates_(checkSurrogates) {}

    bool Null() { return push(TokenKind::null, 0, 0); }
    bool Bool(bool b) { return push(TokenKind::boolean, 0, b ? 1 : 0); }
    // Numbers arrive as text only (kParseNumbersAsStringsFlag): conversion
    // waits for the reader, whose from_chars is exact, so a date reads back
    // as the very double that was written. The typed events must exist all
    // the same.
    bool Int(int) { return false; }
    bool Uint(unsigned) { return false; }
    bool Int64(std::int64_t) { return false; }
    bool Uint64(std::uint64_t) { return false; }
    bool Double(double) { return false; }
    bool RawNumber(const char* s, rapidjson::SizeType n, bool) {
        return text(TokenKind::number, s, n);
    }
    bool String(const char* s, rapidjson::SizeType n, bool) {
        // The raw bytes are valid UTF-8, but an escaped lone low surrogate
        // ("\udc00") comes out as the CESU bytes ED B0 80. Such text would be
        // written back verbatim and fail every later load, so refuse it.
        if (checkSurrogates_) {
            for (const char* p = s;
                 (p = static_cast<const char*>(std::memchr(p, '\xED', s + n - p)));) {
                if (++p < s + n && static_cast<unsigned char>(*p) >= 0xA0) return false;
            }
        }
        return text(TokenKind::string, s, n);
    }
    bool Key(const char* s, rapidjson::SizeType n, bool copy) {
        if (!String(s, n, copy)) return false;
        tokens_.back().info = pack(TokenKind::key, n);
        return true;
    }
    bool StartObject() { return open(TokenKind::startObject); }
    bool EndObject(rapidjson::SizeType n) { return close(TokenKind::endObject, n); }
    bool StartArray() { return open(TokenKind::startArray); }
    bool EndArray(rapidjson::SizeType n) { return close(TokenKind::endArray, n); }

private:
    static std::uint32_t pack(TokenKind kind, std::uint32_t size) {
        return static_cast<std::uint32_t>(kind) << Token::kSizeBits | size;
    }
    bool push(TokenKind kind, std::uint32_t offset, std::uint32_t size) {
        tokens_.push_back(Token{offset, pack(kind, size)});
        return true;
    }
    bool text(TokenKind kind, const char* s, rapidjson::SizeType n) {
        if (n > Token::kMaxSize) return false;
        return push(kind, static_cast<std::uint32_t>(s - base_), n);
    }
    bool open(TokenKind kind) {
        if (depth_ == kMaxDepth) return false;
        opened_[depth_++] = tokens_.size();
        return push(kind, 0, 0);
    }
    // The opening token learns its element or member count (saturated; it
    // only sizes containers), so that readers can reserve once.
    bool close(TokenKind kind, rapidjson::SizeType count) {
        Token& opening = tokens_[opened_[--depth_]];
        opening.info = pack(opening.kind(), std::min<std::uint32_t>(count, Token::kMaxSize));
        return push(kind, 0, 0);
    }

    const char* base_;
    std::vector<Token>& tokens_;
    const bool checkSurrogates_;
    int depth_ = 0;
    std::size_t opened_[kMaxDepth];  // token index of each open object or array
};

int hexValue(unsigned char c) {
    static constexpr auto kTable = [] {
        std::array<std::int8_t, 256> t{};
        t.fill(-1);
        for (int i = 0; i < 10; ++i) t['0' + i] = static_cast<std::int8_t>(i);
        for (int i = 0; i < 6; ++i) {
            t['A' + i] = static_cast<std::int8_t>(10 + i);
            t['a' + i] = static_cast<std::int8_t>(10 + i);
        }
        return t;
    }();
    return kTable[c];
}

// The same forms Uuid::parse accepts, without its trip through libuuid's
// strtoul (a large share of decoding time otherwise).
std::optional<Uuid> parseUuid(std::string_view text) {
    if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' ||
        text[23] != '-') {
        return std::nullopt;
    }
    std::array<std::uint8_t, 16> bytes;
    for (std::size_t b = 0; b < 16; ++b) {
        // Two hex digits per byte, skipping the hyphens before bytes 4, 6, 8, 10.
        const std::size_t i = 2 * b + (b >= 4) + (b >= 6) + (b >= 8) + (b >= 10);
        const int high = hexValue(static_cast<unsigned char>(text[i]));
        const int low = hexValue(static_cast<unsigned char>(text[i + 1]));
        if ((high | low) < 0) return std::nullopt;
        bytes[b] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return Uuid::fromBytes(bytes);
}

}  // namespace

bool parseTape(std::string& buffer, Tape& tape) {
    tape.tokens.clear();
    tape.text = nullptr;
    // The reader's SIMD scans load aligned 16-byte blocks, which may reach
    // past the terminating NUL; the padding keeps them inside the buffer.
    const std::size_t size = buffer.size();
    if (size > std::numeric_limits<std::uint32_t>::max() - kTapePadding) return false;
    buffer.append(kTapePadding, '\0');
    // One pass over the whole input is much faster than the reader's
    // per-character check, and covers every string in it.
    if (!isValidUtf8(std::string_view(buffer.data(), size))) return false;
    // Our documents average over 12 bytes per token. Reserving is cheap (the
    // pages are only touched as tokens land) and saves regrowth copies.
    tape.tokens.reserve(size / 10 + 16);
    const bool escapes =
        std::string_view(buffer.data(), size).find("\\u") != std::string_view::npos;
    TapeBuilder builder(buffer.data(), tape.tokens, escapes);
    constexpr unsigned kFlags = rapidjson::kParseInsituFlag | rapidjson::kParseNumbersAsStringsFlag;
    rapidjson::InsituStringStream stream(buffer.data());
    rapidjson::Reader reader;
    if (reader.Parse<kFlags>(stream, builder).IsError()) return false;
    // The in-situ stream ends at the first NUL byte; anything after one is
    // not part of a single JSON value.
    if (stream.Tell() != size) return false;
    tape.text = buffer.data();
    return true;
}

std::optional<std::string_view> Cursor::nextKey() {
    if (at_ == end_) return std::nullopt;
    if (at_->kind() == TokenKind::endObject) {
        ++at_;
        return std::nullopt;
    }
    return textOf(*at_++);
}

bool Cursor::enterArray(std::size_t* count) {
    if (at_ == end_ || at_->kind() != TokenKind::startArray) return false;
    if (count) *count = at_->size();
    ++at_;
    return true;
}

void Cursor::skipValue() {
    int depth = 0;
    do {
        if (at_ == end_) return;
        switch ((at_++)->kind()) {
            case TokenKind::startObject:
            case TokenKind::startArray:
                ++depth;
                break;
            case TokenKind::endObject:
            case TokenKind::endArray:
                --depth;
                break;
            default:
                break;
        }
    } while (depth > 0);
}

bool Cursor::read(std::string& out) {
    if (at_ == end_ || at_->kind() != TokenKind::string) return false;
    out.assign(textOf(*at_++));
    return true;
}

bool Cursor::read(bool& out) {
    if (at_ == end_ || at_->kind() != TokenKind::boolean) return false;
    out = (at_++)->size() != 0;
    return true;
}

bool Cursor::read(double& out) {
    if (at_ == end_ || at_->kind() != TokenKind::number) return false;
    const std::string_view t = textOf(*at_);
    auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), out);
    if (end != t.data() + t.size()) return false;
    if (ec == std::errc::result_out_of_range) {
        // Too small to hold (1e-400) is zero, as any JSON reader takes it;
        // too large (1e400) is a value we cannot hold.
        const bool tiny =
            t.find("e-") != std::string_view::npos || t.find("E-") != std::string_view::npos;
        if (!tiny) return false;
        out = t.front() == '-' ? -0.0 : 0.0;
    } else if (ec != std::errc{}) {
        return false;
    }
    ++at_;
    return true;
}

bool Cursor::read(Uuid& out) {
    if (at_ == end_ || at_->kind() != TokenKind::string) return false;
    auto parsed = parseUuid(textOf(*at_));
    if (!parsed) return false;
    out = *parsed;
    ++at_;
    return true;
}

bool Cursor::readInteger(std::int64_t& out) {
    if (at_ == end_ || at_->kind() != TokenKind::number) return false;
    const std::string_view t = textOf(*at_);
    const char* const end = t.data() + t.size();
    if (auto [p, ec] = std::from_chars(t.data(), end, out); ec == std::errc{} && p == end) {
        ++at_;
        return true;
    }
    double d = 0;
    if (!read(d)) return false;  // consumes the token
    // 2^63 is exactly representable; anything at or above it does not fit.
    if (std::trunc(d) != d || d < -9223372036854775808.0 || d >= 9223372036854775808.0) {
        return false;
    }
    out = static_cast<std::int64_t>(d);
    return true;
}

}  // namespace merrowfax::json

#include "relay/ws_frames.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "base/utf8.h"

namespace merrowfax::relay::ws {
namespace {

// Frames with more payload left than this are read straight into the
// message (room()); smaller ones go through the caller's buffer.
constexpr std::size_t kDirectRead = 8 * 1024;

const unsigned char* bytes(const char* p) {
    return reinterpret_cast<const unsigned char*>(p);
}

std::size_t headerLength(const unsigned char* h) {
    const unsigned len7 = h[1] & 0x7Fu;
    return 2 + (len7 == 126 ? 2 : len7 == 127 ? 8 : 0) + ((h[1] & 0x80u) ? 4 : 0);
}

bool isControl(Opcode op) {
    return static_cast<std::uint8_t>(op) >= 8;
}

bool validCloseCode(unsigned code) {
    return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1011) ||
           (code >= 3000 && code <= 4999);
}

}  // namespace

Header header(Opcode op, std::size_t payload) {
    Header h;
    h.bytes[0] = static_cast<char>(0x80u | static_cast<unsigned>(op));
    if (payload < 126) {
        h.bytes[1] = static_cast<char>(payload);
        h.size = 2;
    } else if (payload <= 0xFFFF) {
        h.bytes[1] = 126;
        h.bytes[2] = static_cast<char>(payload >> 8);
        h.bytes[3] = static_cast<char>(payload & 0xFF);
        h.size = 4;
    } else {
        h.bytes[1] = 127;
        const auto n = static_cast<std::uint64_t>(payload);
        for (int i = 0; i < 8; ++i) h.bytes[2 + i] = static_cast<char>((n >> (56 - 8 * i)) & 0xFF);
        h.size = 10;
    }
    return h;
}

std::string closeFrame(std::uint16_t code) {
    std::string out(header(Opcode::close, 2).view());
    out.push_back(static_cast<char>(code >> 8));
    out.push_back(static_cast<char>(code & 0xFF));
    return out;
}

std::uint16_t Reader::feed(char* data, std::size_t size, Handler& handler) {
    std::size_t pos = 0;
    while (pos < size && !closed_) {
        if (inFrame_) {
            std::size_t used = 0;
            if (const auto code = payload(data + pos, size - pos, handler, used)) return code;
            pos += used;
            continue;
        }
        const auto* at = bytes(data + pos);
        const std::size_t left = size - pos;
        std::uint16_t code = 0;
        if (carry_.empty() && left >= 2 && left >= headerLength(at)) {
            pos += headerLength(at);
            code = startFrame(at);
        } else {
            // A header split between reads waits for its rest.
            std::size_t want = carry_.size() < 2 ? 2 : headerLength(bytes(carry_.data()));
            while (carry_.size() < want && pos < size) {
                carry_.push_back(data[pos++]);
                if (carry_.size() == 2) want = headerLength(bytes(carry_.data()));
            }
            if (carry_.size() < want) return 0;
            const std::string whole = std::exchange(carry_, {});
            code = startFrame(bytes(whole.data()));
        }
        if (code) return code;
        if (remain_ == 0)
            if (const auto ended = endFrame(handler)) return ended;
    }
    return 0;
}

std::uint16_t Reader::startFrame(const unsigned char* h) {
    fin_ = (h[0] & 0x80u) != 0;
    if (h[0] & 0x70u) return kProtocolError;     // no extension was agreed on
    if (!(h[1] & 0x80u)) return kProtocolError;  // a client masks every frame
    op_ = static_cast<Opcode>(h[0] & 0x0Fu);
    std::uint64_t length = h[1] & 0x7Fu;
    std::size_t at = 2;
    if (length == 126) {
        length = (std::uint64_t{h[2]} << 8) | h[3];
        at = 4;
        if (length < 126) return kProtocolError;  // not the shortest form
    } else if (length == 127) {
        length = 0;
        for (int i = 0; i < 8; ++i) length = (length << 8) | h[2 + i];
        at = 10;
        if (length < 0x10000 || (length >> 63)) return kProtocolError;
    }
    std::memcpy(mask_.data(), h + at, 4);
    maskAt_ = 0;
    switch (op_) {
        case Opcode::close:
        case Opcode::ping:
        case Opcode::pong:
            if (!fin_ || length > 125) return kProtocolError;
            break;
        case Opcode::continuation:
            if (!inMessage_) return kProtocolError;
            break;
        case Opcode::text:
        case Opcode::binary:
            if (inMessage_) return kProtocolError;  // the last message is unfinished
            inMessage_ = true;
            text_ = op_ == Opcode::text;
            break;
        default:
            return kProtocolError;
    }
    if (!isControl(op_) && length > max_ - size_) return kTooBig;
    remain_ = length;
    inFrame_ = true;
    return 0;
}

std::uint16_t Reader::payload(char* data, std::size_t size, Handler& handler, std::size_t& used) {
    const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(remain_, size));
    unmask(data, take);
    used = take;
    if (isControl(op_)) {
        control_.append(data, take);
    } else if (size_ == 0 && fin_ && take == remain_ && op_ != Opcode::continuation) {
        // The whole message lies here: handed on where it is.
        remain_ = 0;
        inFrame_ = false;
        inMessage_ = false;
        const std::string_view whole(data, take);
        if (text_ && !isValidUtf8(whole)) return kBadData;
        handler.onMessage(text_, whole);
        return 0;
    } else {
        std::memcpy(grow(take), data, take);
    }
    remain_ -= take;
    return remain_ == 0 ? endFrame(handler) : 0;
}

std::span<char> Reader::room() {
    if (closed_ || !inFrame_ || isControl(op_) || remain_ < kDirectRead) return {};
    const std::size_t before = size_;
    grow(static_cast<std::size_t>(remain_));
    size_ = before;
    return {message_.get() + size_, static_cast<std::size_t>(remain_)};
}

std::uint16_t Reader::filled(std::size_t n, Handler& handler) {
    unmask(message_.get() + size_, n);
    size_ += n;
    remain_ -= n;
    return remain_ == 0 ? endFrame(handler) : 0;
}

std::uint16_t Reader::endFrame(Handler& handler) {
    inFrame_ = false;
    std::uint16_t code = 0;
    switch (op_) {
        case Opcode::ping:
            handler.onPing(control_);
            break;
        case Opcode::pong:
            break;
        case Opcode::close: {
            closed_ = true;
            std::uint16_t said = kNoStatus;
            if (control_.size() == 1) {
                code = kProtocolError;
            } else if (control_.size() >= 2) {
                said = static_cast<std::uint16_t>((bytes(control_.data())[0] << 8) |
                                                  bytes(control_.data())[1]);
                if (!validCloseCode(said)) {
                    code = kProtocolError;
                } else if (!isValidUtf8(std::string_view(control_).substr(2))) {
                    code = kBadData;
                }
            }
            if (!code) handler.onClose(said);
            break;
        }
        default: {
            if (!fin_) return 0;
            inMessage_ = false;
            const std::string_view whole(message_.get(), size_);
            if (text_ && !isValidUtf8(whole)) {
                code = kBadData;
            } else {
                handler.onMessage(text_, whole);
            }
            clearMessage();
        }
    }
    if (control_.capacity() > 15) std::string().swap(control_);
    control_.clear();
    return code;
}

// The frame's whole payload at once where it is known; a message of many
// frames doubles, never past the limit.
char* Reader::grow(std::size_t n) {
    if (size_ + n > capacity_) {
        std::size_t want = std::max(size_ + n, size_ + static_cast<std::size_t>(remain_));
        want = std::max(want, std::min(2 * capacity_, max_));
        auto bigger = std::make_unique_for_overwrite<char[]>(want);
        if (size_) std::memcpy(bigger.get(), message_.get(), size_);
        message_ = std::move(bigger);
        capacity_ = want;
    }
    char* out = message_.get() + size_;
    size_ += n;
    return out;
}

// Nothing is kept between messages: most connections are idle most of the time.
void Reader::clearMessage() {
    message_.reset();
    size_ = 0;
    capacity_ = 0;
}

void Reader::unmask(char* data, std::size_t n) {
    std::size_t i = 0;
    for (; i < n && (maskAt_ & 3) != 0; ++i, ++maskAt_)
        data[i] = static_cast<char>(data[i] ^ mask_[maskAt_ & 3]);
    std::uint32_t key32;
    std::memcpy(&key32, mask_.data(), 4);
    const std::uint64_t key = (std::uint64_t{key32} << 32) | key32;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, data + i, 8);
        word ^= key;
        std::memcpy(data + i, &word, 8);
    }
    for (; i < n; ++i, ++maskAt_) data[i] = static_cast<char>(data[i] ^ mask_[maskAt_ & 3]);
}

}  // namespace merrowfax::relay::ws

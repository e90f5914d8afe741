#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

// The server side of WebSocket framing (RFC 6455, no extensions), without
// I/O: reading masked client frames in whatever pieces they arrive, and the
// headers of unmasked server frames. A connection holds no buffer while
// nothing is half read.
namespace merrowfax::relay::ws {

enum class Opcode : std::uint8_t {
    continuation = 0,
    text = 1,
    binary = 2,
    close = 8,
    ping = 9,
    pong = 10,
};

// Close codes.
inline constexpr std::uint16_t kNormal = 1000;
inline constexpr std::uint16_t kGoingAway = 1001;
inline constexpr std::uint16_t kProtocolError = 1002;
inline constexpr std::uint16_t kNoStatus = 1005;  // a close frame without a code
inline constexpr std::uint16_t kBadData = 1007;   // text that is not UTF-8
inline constexpr std::uint16_t kTooBig = 1009;

// The header of a whole (FIN) server frame: 2 to 10 bytes.
struct Header {
    std::array<char, 10> bytes{};
    std::uint8_t size = 0;
    std::string_view view() const { return {bytes.data(), size}; }
};
Header header(Opcode op, std::size_t payload);

// A whole close frame carrying `code`.
std::string closeFrame(std::uint16_t code);

// Reads client frames: unmasks them in place, checks them and hands on
// whole messages (text or binary, fragments joined) and pings. A message
// that arrives whole in one piece is handed on where it lies; others are
// gathered in a buffer held only until they are complete.
class Reader {
public:
    class Handler {
    public:
        // `payload` is valid during the call only.
        virtual void onMessage(bool text, std::string_view payload) = 0;
        virtual void onPing(std::string_view payload) = 0;
        // The peer closed, with this code (kNoStatus: none); nothing after
        // it is read.
        virtual void onClose(std::uint16_t code) = 0;

    protected:
        ~Handler() = default;
    };

    explicit Reader(std::size_t maxMessage) : max_(maxMessage) {}

    // Consumes `size` bytes (changing them). Returns 0, or the close code
    // the connection must end with: a broken frame (kProtocolError), text
    // that is not UTF-8 (kBadData), a message over the limit (kTooBig).
    std::uint16_t feed(char* data, std::size_t size, Handler& handler);

    // Inside a large data frame: room to read its payload straight into the
    // message being gathered, sparing a copy; empty otherwise.
    std::span<char> room();
    // `n` bytes were read into room(); returns as feed().
    std::uint16_t filled(std::size_t n, Handler& handler);

    bool closed() const { return closed_; }
    // Bytes held for an unfinished message.
    std::size_t held() const { return capacity_; }

private:
    std::uint16_t startFrame(const unsigned char* h);
    std::uint16_t endFrame(Handler& handler);
    std::uint16_t payload(char* data, std::size_t size, Handler& handler, std::size_t& used);
    void unmask(char* data, std::size_t size);
    char* grow(std::size_t n);
    void clearMessage();

    const std::size_t max_;
    std::string carry_;    // an incomplete header (short: no allocation)
    std::string control_;  // a control frame's payload so far
    // The message being gathered.
    std::unique_ptr<char[]> message_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    bool text_ = false;
    bool inMessage_ = false;  // a data frame without FIN came
    // The frame being read.
    bool inFrame_ = false;
    bool fin_ = false;
    Opcode op_ = Opcode::text;
    std::uint64_t remain_ = 0;
    std::array<unsigned char, 4> mask_{};
    std::size_t maskAt_ = 0;
    bool closed_ = false;
};

}  // namespace merrowfax::relay::ws

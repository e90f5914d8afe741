#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace merrowfax::bench {

// Incremental reader of what a NATS server sends. Over a WebSocket the
// protocol is a byte stream cut at arbitrary points: an operation may span
// several messages and one message may hold several operations.
class NatsParser {
public:
    enum class Kind { msg, ping, pong, info, ok, err };
    struct Op {
        Kind kind;
        std::string_view subject;  // MSG only
        std::string_view payload;  // MSG payload, or the text after INFO / -ERR
    };
    using Sink = std::function<void(const Op&)>;

    // Hands every complete operation to `sink`, in order; the views live only
    // during the call. False on bytes that are not the protocol (the
    // connection is then unusable).
    bool feed(std::string_view bytes, const Sink& sink);

    std::size_t buffered() const { return buffer_.size(); }

private:
    // Parses whole operations from the front; -1 on a protocol error,
    // otherwise how many bytes were used.
    static std::ptrdiff_t parse(std::string_view bytes, const Sink& sink);

    std::string buffer_;  // an incomplete operation carried over
};

}  // namespace merrowfax::bench

#include "nats_parser.h"

#include <charconv>

namespace merrowfax::bench {
namespace {

constexpr std::size_t kMaxLine = 64 * 1024;
constexpr std::size_t kMaxPayload = 64 * 1024 * 1024;

bool startsWith(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char c = text[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != prefix[i]) return false;
    }
    return true;
}

std::string_view nextToken(std::string_view& rest) {
    const auto start = rest.find_first_not_of(" \t");
    if (start == std::string_view::npos) {
        rest = {};
        return {};
    }
    rest.remove_prefix(start);
    const auto end = rest.find_first_of(" \t");
    const auto token = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end);
    return token;
}

}  // namespace

std::ptrdiff_t NatsParser::parse(std::string_view bytes, const Sink& sink) {
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const auto eol = bytes.find("\r\n", pos);
        if (eol == std::string_view::npos) {
            if (bytes.size() - pos > kMaxLine) return -1;
            break;
        }
        const std::string_view line = bytes.substr(pos, eol - pos);
        const std::size_t after = eol + 2;
        if (startsWith(line, "MSG ")) {
            std::string_view rest = line.substr(4);
            std::string_view tokens[5];
            std::size_t n = 0;
            while (n < 5) {
                auto token = nextToken(rest);
                if (token.empty()) break;
                tokens[n++] = token;
            }
            if (n < 3 || n > 4) return -1;
            const auto sizeText = tokens[n - 1];
            std::size_t size = 0;
            const auto [end, ec] =
                std::from_chars(sizeText.data(), sizeText.data() + sizeText.size(), size);
            if (ec != std::errc{} || end != sizeText.data() + sizeText.size() || size > kMaxPayload)
                return -1;
            if (bytes.size() - after < size + 2) break;  // payload not all here yet
            if (bytes.substr(after + size, 2) != "\r\n") return -1;
            sink({Kind::msg, tokens[0], bytes.substr(after, size)});
            pos = after + size + 2;
            continue;
        }
        if (startsWith(line, "PING")) {
            sink({Kind::ping, {}, {}});
        } else if (startsWith(line, "PONG")) {
            sink({Kind::pong, {}, {}});
        } else if (startsWith(line, "+OK")) {
            sink({Kind::ok, {}, {}});
        } else if (startsWith(line, "-ERR")) {
            sink({Kind::err, {}, line.substr(4)});
        } else if (startsWith(line, "INFO")) {
            sink({Kind::info, {}, line.substr(4)});
        } else {
            return -1;
        }
        pos = after;
    }
    return static_cast<std::ptrdiff_t>(pos);
}

bool NatsParser::feed(std::string_view bytes, const Sink& sink) {
    if (buffer_.empty()) {
        // Usual case: whole operations straight from the caller's bytes.
        const auto used = parse(bytes, sink);
        if (used < 0) return false;
        buffer_.assign(bytes.substr(static_cast<std::size_t>(used)));
        return true;
    }
    buffer_.append(bytes);
    const auto used = parse(buffer_, sink);
    if (used < 0) return false;
    buffer_.erase(0, static_cast<std::size_t>(used));
    return true;
}

}  // namespace merrowfax::bench

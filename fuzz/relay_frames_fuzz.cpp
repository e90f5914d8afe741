// Client WebSocket frames on the live endpoint. The same bytes must give the
// same messages, pings, close and verdict whether they arrive at once or in
// pieces (some read straight into a large frame's room); messages stay
// within the limit and text is UTF-8.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base/utf8.h"
#include "relay/ws_frames.h"

namespace {

using merrowfax::relay::ws::Reader;

constexpr std::size_t kMax = 20'000;

struct Seen : Reader::Handler {
    std::vector<std::string> events;
    void onMessage(bool text, std::string_view payload) override {
        if (payload.size() > kMax) __builtin_trap();
        if (text && !merrowfax::isValidUtf8(payload)) __builtin_trap();
        events.push_back((text ? "t" : "b") + std::string(payload));
    }
    void onPing(std::string_view payload) override {
        if (payload.size() > 125) __builtin_trap();
        events.push_back("p" + std::string(payload));
    }
    void onClose(std::uint16_t code) override { events.push_back("c" + std::to_string(code)); }
};

std::vector<std::string> whole(std::string bytes) {
    Reader reader(kMax);
    Seen seen;
    if (const auto code = reader.feed(bytes.data(), bytes.size(), seen))
        seen.events.push_back("!" + std::to_string(code));
    return seen.events;
}

std::vector<std::string> inPieces(std::string bytes, std::uint32_t seed) {
    Reader reader(kMax);
    Seen seen;
    std::size_t at = 0;
    while (at < bytes.size() && !reader.closed()) {
        seed = seed * 1664525u + 1013904223u;
        const std::size_t want = 1 + (seed >> 16) % 700;
        std::uint16_t code = 0;
        const auto room = reader.room();
        if (!room.empty()) {
            const std::size_t n = std::min({want, room.size(), bytes.size() - at});
            std::memcpy(room.data(), bytes.data() + at, n);
            code = reader.filled(n, seen);
            at += n;
        } else {
            const std::size_t n = std::min(want, bytes.size() - at);
            code = reader.feed(bytes.data() + at, n, seen);
            at += n;
        }
        if (code) {
            seen.events.push_back("!" + std::to_string(code));
            break;
        }
    }
    return seen.events;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    if (whole(bytes) != inPieces(bytes, data[0])) __builtin_trap();
    return 0;
}

#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

// Binary framing of both transports. Every binary frame opens with one
// FrameKind byte; on the internet line a length byte and the recipient's
// number text follow it, so the relay service can route without parsing media.
namespace merrowfax::wire {

enum class FrameKind : std::uint8_t {
    envelope = 1,  // JSON envelope (LAN only)
    audio = 2,
    video = 3,
    walkie = 4,
    deskFrame = 5,  // internet line only
};

// True for the kinds that carry media (2 to 5).
bool isMediaKind(std::uint8_t kind);

struct LanFrame {
    std::uint8_t kind = 0;  // raw: callers ignore kinds they do not know
    std::span<const std::byte> body;
};

// LAN data message: kind byte + body. An empty message gives nothing.
std::optional<LanFrame> parseLanFrame(std::span<const std::byte> message);
std::vector<std::byte> encodeLanFrame(FrameKind kind, std::span<const std::byte> body);

struct NetFrame {
    std::uint8_t kind = 0;    // raw first byte
    std::string_view target;  // recipient's number text, 1 to 255 bytes
    std::span<const std::byte> media;
};

// Internet-line binary message: kind, length L, L bytes of target, media.
// Shorter than 3 bytes, L = 0, or fewer bytes than L announces: nothing.
std::optional<NetFrame> parseNetFrame(std::span<const std::byte> message);

// Longest target text the length byte can announce.
inline constexpr std::size_t kMaxFrameTarget = 255;

// Empty when the target is empty or longer than kMaxFrameTarget.
std::vector<std::byte> encodeNetFrame(FrameKind kind, std::string_view target,
                                      std::span<const std::byte> media);

}  // namespace merrowfax::wire

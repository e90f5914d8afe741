#include "wire/frames.h"

#include <cstring>

namespace merrowfax::wire {

bool isMediaKind(std::uint8_t kind) {
    return kind >= static_cast<std::uint8_t>(FrameKind::audio) &&
           kind <= static_cast<std::uint8_t>(FrameKind::deskFrame);
}

std::optional<LanFrame> parseLanFrame(std::span<const std::byte> message) {
    if (message.empty()) return std::nullopt;
    return LanFrame{std::to_integer<std::uint8_t>(message[0]), message.subspan(1)};
}

std::vector<std::byte> encodeLanFrame(FrameKind kind, std::span<const std::byte> body) {
    std::vector<std::byte> out;
    out.reserve(body.size() + 1);
    out.push_back(static_cast<std::byte>(kind));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

std::optional<NetFrame> parseNetFrame(std::span<const std::byte> message) {
    if (message.size() < 3) return std::nullopt;
    const std::size_t length = std::to_integer<std::size_t>(message[1]);
    if (length == 0 || message.size() < length + 2) return std::nullopt;
    const auto* target = reinterpret_cast<const char*>(message.data() + 2);
    return NetFrame{std::to_integer<std::uint8_t>(message[0]), std::string_view(target, length),
                    message.subspan(length + 2)};
}

std::vector<std::byte> encodeNetFrame(FrameKind kind, std::string_view target,
                                      std::span<const std::byte> media) {
    if (target.empty() || target.size() > kMaxFrameTarget) return {};
    std::vector<std::byte> out(2 + target.size() + media.size());
    out[0] = static_cast<std::byte>(kind);
    out[1] = static_cast<std::byte>(target.size());
    std::memcpy(out.data() + 2, target.data(), target.size());
    if (!media.empty()) std::memcpy(out.data() + 2 + target.size(), media.data(), media.size());
    return out;
}

}  // namespace merrowfax::wire

// Both binary frame parsers on arbitrary bytes: never read outside the input,
// and what they return always lies inside it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "wire/frames.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace merrowfax::wire;
    const std::span<const std::byte> input(reinterpret_cast<const std::byte*>(data), size);
    const auto* begin = reinterpret_cast<const std::byte*>(data);
    auto inside = [&](const void* p, std::size_t n) {
        const auto* b = static_cast<const std::byte*>(p);
        return n == 0 || (b >= begin && b + n <= begin + size);
    };

    if (auto frame = parseNetFrame(input)) {
        if (frame->target.empty() || !inside(frame->target.data(), frame->target.size()) ||
            !inside(frame->media.data(), frame->media.size()) ||
            frame->target.size() + frame->media.size() + 2 != size) {
            std::abort();
        }
        auto again =
            encodeNetFrame(static_cast<FrameKind>(frame->kind), frame->target, frame->media);
        if (again.size() != size) std::abort();
    }
    if (auto frame = parseLanFrame(input)) {
        if (frame->body.size() + 1 != size || !inside(frame->body.data(), frame->body.size())) {
            std::abort();
        }
    }
    return 0;
}

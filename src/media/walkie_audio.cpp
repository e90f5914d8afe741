#include "media/walkie_audio.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "media/connection_tone.h"
#include "media/wire_audio.h"

namespace merrowfax {
namespace {

constexpr std::size_t kFadeSamples = 1280;

std::int16_t clampTo16(double value) {
    return static_cast<std::int16_t>(std::clamp(value, -32768.0, 32767.0));
}

wire::Bytes makeStaticBurst() {
    std::vector<std::int16_t> samples(kStaticBurstSamples);
    std::uint32_t state = 0xA5A5F00Du;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        state = state * 1664525u + 1013904223u;
        const std::size_t fadeStart = kStaticBurstSamples - kFadeSamples;
        const double envelope =
            i < fadeStart ? 1.0 : static_cast<double>(kStaticBurstSamples - i) / kFadeSamples;
        const int noise = static_cast<std::int32_t>(state) >> 16;
        samples[i] = clampTo16(noise * 0.28 * envelope);
    }
    return wireAudio(samples);
}

}  // namespace

const wire::Bytes& staticBurst() {
    static const wire::Bytes burst = makeStaticBurst();
    return burst;
}

void boostForSpeaker(std::span<std::int16_t> samples) {
    for (std::int16_t& s : samples) s = clampTo16(s * kWalkieBoost);
}

wire::Bytes boostForSpeaker(std::span<const std::byte> chunk) {
    std::vector<std::int16_t> samples = wireSamples(chunk);
    boostForSpeaker(samples);
    return wireAudio(samples);
}

}  // namespace merrowfax

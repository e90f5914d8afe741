#include "media/connection_tone.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace merrowfax {

std::vector<std::int16_t> makeTone(int count) {
    constexpr double kRate = 16000;
    constexpr double kFrequency = 880;
    constexpr double kAmplitude = 32767 * 0.45;
    constexpr double kRamp = 160;  // samples in 10 ms
    std::vector<std::int16_t> samples(static_cast<std::size_t>(std::max(count, 0)));
    for (int i = 0; i < count; ++i) {
        const double fadeIn = std::min(i / kRamp, 1.0);
        const double fadeOut = std::min((count - i) / kRamp, 1.0);
        const double wave = std::sin(2 * std::numbers::pi * kFrequency * i / kRate);
        // The integer part, as the cast truncates toward zero.
        samples[static_cast<std::size_t>(i)] =
            static_cast<std::int16_t>(kAmplitude * wave * fadeIn * fadeOut);
    }
    return samples;
}

wire::Bytes wireAudio(const std::vector<std::int16_t>& samples) {
    wire::Bytes bytes;
    bytes.reserve(samples.size() * 2);
    for (std::int16_t sample : samples) {
        const auto u = static_cast<std::uint16_t>(sample);
        bytes.push_back(static_cast<std::byte>(u & 0xFF));
        bytes.push_back(static_cast<std::byte>(u >> 8));
    }
    return bytes;
}

}  // namespace merrowfax

#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>
#include <span>
#include <vector>

namespace merrowfax::testing {

// The power of one frequency in mono samples (Goertzel), per sample squared,
// so windows of different lengths compare.
inline double tonePower(std::span<const std::int16_t> samples, int rate, double hz) {
    if (samples.empty() || rate <= 0) return 0;
    const double coefficient = 2 * std::cos(2 * std::numbers::pi * hz / rate);
    double s1 = 0, s2 = 0;
    for (std::int16_t sample : samples) {
        const double s0 = sample / 32768.0 + coefficient * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    const double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
    const double n = static_cast<double>(samples.size());
    return power / (n * n);
}

// One channel of interleaved frames.
inline std::vector<std::int16_t> channelOf(std::span<const std::int16_t> samples, int channels,
                                           int channel = 0) {
    std::vector<std::int16_t> out;
    for (std::size_t i = static_cast<std::size_t>(channel); i < samples.size();
         i += static_cast<std::size_t>(channels)) {
        out.push_back(samples[i]);
    }
    return out;
}

}  // namespace merrowfax::testing

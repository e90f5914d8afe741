#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

#include "media/echo_canceller.h"

namespace merrowfax {
namespace {

// Noise shaped like speech: low-passed, in syllables of about 200 ms.
std::vector<std::int16_t> speechLikeNoise(std::size_t count) {
    std::mt19937 random(7);
    std::normal_distribution<double> noise(0, 1);
    std::vector<std::int16_t> out(count);
    double smooth = 0;
    for (std::size_t i = 0; i < count; ++i) {
        smooth = 0.7 * smooth + 0.3 * noise(random);
        const double syllable = 0.3 + 0.7 * std::abs(std::sin(std::numbers::pi * i / 3200.0));
        out[i] = static_cast<std::int16_t>(std::clamp(8000 * smooth * syllable, -32767.0, 32767.0));
    }
    return out;
}

double energy(std::span<const std::int16_t> samples) {
    double sum = 0;
    for (std::int16_t s : samples) sum += static_cast<double>(s) * s;
    return sum;
}

TEST(EchoCanceller, ADelayedQuieterCopyOfWhatWasPlayedComesOut20dBQuieter) {
    constexpr std::size_t kSeconds = 8;
    constexpr std::size_t kDelay = 480;  // 30 ms
    const auto far = speechLikeNoise(16000 * kSeconds);
    std::vector<std::int16_t> near(far.size(), 0);
    for (std::size_t i = kDelay; i < far.size(); ++i)
        near[i] = static_cast<std::int16_t>(far[i - kDelay] / 2);

    EchoCanceller canceller;
    std::vector<std::int16_t> out;
    // As the engine sees it: the speaker is given audio in 20 ms pieces, the
    // microphone hears in pieces of another size.
    std::size_t played = 0;
    for (std::size_t heard = 0; heard < near.size(); heard += 341) {
        const std::size_t n = std::min<std::size_t>(341, near.size() - heard);
        while (played < heard + n && played < far.size()) {
            canceller.played(std::span(far).subspan(played, 320));
            played += 320;
        }
        const auto clean = canceller.process(std::span(near).subspan(heard, n));
        out.insert(out.end(), clean.begin(), clean.end());
    }
    ASSERT_GE(out.size(), near.size() - EchoCanceller::kFrame);
    // After convergence: the last three seconds.
    const std::size_t from = 16000 * (kSeconds - 3);
    const std::size_t length = out.size() - from;
    const double before = energy(std::span(near).subspan(from, length));
    const double after = energy(std::span(out).subspan(from, length));
    const double reduction = 10 * std::log10(before / std::max(after, 1.0));
    EXPECT_GE(reduction, 20.0);
    std::printf("echo reduced by %.1f dB\n", reduction);
}

}  // namespace
}  // namespace merrowfax

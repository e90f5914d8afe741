#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "media/connection_tone.h"
#include "media/walkie_audio.h"
#include "media/wire_audio.h"

namespace merrowfax::testing {
namespace {

TEST(WalkieStatic, IsTheFixedGeneratorsNoiseFadingOutOverItsLast1280Samples) {
    const wire::Bytes& burst = staticBurst();
    ASSERT_EQ(burst.size(), 12800u);
    const std::vector<std::int16_t> s = wireSamples(burst);
    // The first sample: state 0xA5A5F00D * 1664525 + 1013904223, its signed
    // top half times 0.28.
    EXPECT_EQ((std::vector<std::int16_t>(s.begin(), s.begin() + 4)),
              (std::vector<std::int16_t>{3782, -1005, 965, 2631}));
    // Full level up to 5119, then the fade: (6400 - i) / 1280.
    EXPECT_EQ(s[5119], 1143);
    EXPECT_EQ(s[5120], 5307);
    EXPECT_EQ(s[5121], 4328);
    EXPECT_EQ((std::vector<std::int16_t>(s.end() - 3, s.end())),
              (std::vector<std::int16_t>{21, -3, -1}));
    long long sum = 0;
    for (std::int16_t v : s) sum += v;
    EXPECT_EQ(sum, 581927);
    EXPECT_EQ(peakOf(std::span<const std::int16_t>(s)), 9174);
    EXPECT_EQ(&staticBurst(), &burst) << "made once";
}

TEST(WalkieBoost, MultipliesBy2Point75TruncatesAndClampsToTheFull16BitRange) {
    const auto boosted = wireSamples(boostForSpeaker(
        wireAudio({0, 1, -1, 1000, -1000, 11915, 11916, -11915, -11916, 20000, -20000})));
    EXPECT_EQ(boosted, (std::vector<std::int16_t>{0, 2, -2, 2750, -2750, 32766, 32767, -32766,
                                                  -32768, 32767, -32768}));
    wire::Bytes odd = wireAudio({100});
    odd.push_back(std::byte{7});
    EXPECT_EQ(wireSamples(boostForSpeaker(odd)), std::vector<std::int16_t>{275});
    EXPECT_TRUE(boostForSpeaker(wire::Bytes(1)).empty());
}

}  // namespace
}  // namespace merrowfax::testing

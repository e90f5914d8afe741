#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "media/connection_tone.h"
#include "media/wire_audio.h"

namespace merrowfax {
namespace {

std::vector<std::int16_t> stereoRamp(std::size_t frames) {
    std::vector<std::int16_t> samples(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) {
        samples[2 * i] = static_cast<std::int16_t>(i * 20);           // left
        samples[2 * i + 1] = static_cast<std::int16_t>(-(int)i * 7);  // right
    }
    return samples;
}

TEST(WireAudio, A48kStereoBufferDecimatesToTheMeanOfItsChannels) {
    const auto frames = stereoRamp(1024);
    const auto wire = resampleToWire(frames, {48000, 2});
    ASSERT_EQ(wire.size(), 341u);
    for (std::size_t i : {0u, 1u, 170u, 340u}) {
        const float mean = (frames[6 * i] / 32768.0f + frames[6 * i + 1] / 32768.0f) / 2;
        EXPECT_EQ(wire[i], static_cast<std::int16_t>(mean * 32767.0f)) << "sample " << i;
    }
    EXPECT_EQ(applyGain(wireAudio(wire), 2.2).size(), 682u);

    // Mono at the wire rate passes through; an odd rate still gives one sample.
    const std::vector<std::int16_t> mono = {100, -200, 300};
    EXPECT_EQ(resampleToWire(mono, {16000, 1}),
              (std::vector<std::int16_t>{99, -199, 299}));  // x/32768*32767, truncated
    EXPECT_EQ(resampleToWire(std::vector<std::int16_t>{5000}, {44100, 1}).size(), 1u);
}

TEST(WireAudio, NothingComesOfSilenceEmptinessOrANonsenseRate) {
    EXPECT_TRUE(resampleToWire(std::vector<std::int16_t>(2048, 0), {48000, 2}).empty());
    EXPECT_TRUE(resampleToWire({}, {48000, 2}).empty());
    EXPECT_TRUE(resampleToWire(std::vector<std::int16_t>(64, 100), {0, 1}).empty());
    WireConverter converter;
    EXPECT_TRUE(converter.convert(std::vector<std::int16_t>(64, 100), {0, 1}).empty());
    EXPECT_TRUE(converter.convert(std::vector<std::int16_t>(64, 100), {48000, 0}).empty());
}

TEST(WireAudio, TheConverterResamplesATone) {
    WireConverter converter;
    std::vector<std::int16_t> total;
    for (int block = 0; block < 10; ++block) {
        std::vector<std::int16_t> frames(1024 * 2);
        for (std::size_t i = 0; i < 1024; ++i) {
            const double t = static_cast<double>(block * 1024 + static_cast<int>(i)) / 48000;
            const auto s =
                static_cast<std::int16_t>(10000 * std::sin(2 * std::numbers::pi * 1000 * t));
            frames[2 * i] = frames[2 * i + 1] = s;
        }
        const auto out = converter.convert(frames, {48000, 2});
        total.insert(total.end(), out.begin(), out.end());
    }
    // A third of the frames, less the filter's start-up.
    EXPECT_NEAR(static_cast<double>(total.size()), 10 * 1024 / 3.0, 40);
    EXPECT_NEAR(peakOf(std::span<const std::int16_t>(total)), 10000, 600);
    // Another format builds another resampler.
    EXPECT_FALSE(converter.convert(std::vector<std::int16_t>(441, 3000), {44100, 1}).empty());
}

TEST(WireAudio, GainTruncatesAndClampsAndDropsAnOddByte) {
    struct Case {
        std::int16_t in;
        std::int16_t out;
    };
    for (const Case c : {Case{20000, 32767}, Case{-20000, -32767}, Case{1000, 2200}, Case{-3, -6},
                         Case{0, 0}, Case{-32768, -32767}}) {
        const auto out = wireSamples(applyGain(wireAudio({c.in}), 2.2));
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0], c.out) << c.in;
    }
    const wire::Bytes odd = {std::byte{0x10}, std::byte{0x00}, std::byte{0x7F}};
    EXPECT_EQ(applyGain(odd, 2.2), (wire::Bytes{std::byte{0x23}, std::byte{0x00}}));
    const wire::Bytes one = {std::byte{0x7F}};
    EXPECT_EQ(applyGain(one, 2.2), one);
}

TEST(WireAudio, TheSpeakerGetsEveryChannelAtItsRate) {
    SpeakerConverter same({16000, 2});
    EXPECT_EQ(same.convert(std::vector<std::int16_t>{1, -2}),
              (std::vector<std::int16_t>{1, 1, -2, -2}));
    SpeakerConverter up({48000, 1});
    std::size_t total = 0;
    for (int i = 0; i < 10; ++i) total += up.convert(std::vector<std::int16_t>(320, 1000)).size();
    EXPECT_NEAR(static_cast<double>(total), 9600, 120);  // less the filter's delay
}

}  // namespace
}  // namespace merrowfax

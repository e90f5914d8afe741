#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>

#include "media/connection_tone.h"
#include "media/wire_audio.h"
#include "support/goertzel.h"

namespace merrowfax {
namespace {

using testing::tonePower;

// `frames` of a sine of `hz` at `rate`, the same on each of `channels`,
// starting at frame `from`.
std::vector<std::int16_t> sine(double hz, int rate, int channels, std::size_t frames,
                               std::size_t from = 0, double amplitude = 10000) {
    std::vector<std::int16_t> out;
    for (std::size_t i = from; i < from + frames; ++i) {
        const auto s = static_cast<std::int16_t>(
            amplitude * std::sin(2 * std::numbers::pi * hz * static_cast<double>(i) / rate));
        out.insert(out.end(), static_cast<std::size_t>(channels), s);
    }
    return out;
}

// The amplitude of `hz` in wire audio.
double amplitudeOf(std::span<const std::int16_t> wire, double hz) {
    return 2 * std::sqrt(tonePower(wire, 16000, hz)) * 32768;
}

// The largest change from one sample to the next.
int largestStep(std::span<const std::int16_t> samples) {
    int step = 0;
    for (std::size_t i = 1; i < samples.size(); ++i)
        step = std::max(step, std::abs(samples[i] - samples[i - 1]));
    return step;
}

TEST(WireAudio, TheDirectConversionMixesChannelsAndKeepsWhatTheWireCarries) {
    const auto wire = resampleToWire(sine(1000, 48000, 2, 4800), {48000, 2});
    EXPECT_EQ(wire.size(), 1600u);
    EXPECT_NEAR(amplitudeOf(wire, 1000), 10000, 300);
    // Channels in opposite phase cancel out: silence, which gives nothing.
    std::vector<std::int16_t> opposite = sine(1000, 48000, 2, 480);
    for (std::size_t i = 1; i < opposite.size(); i += 2) opposite[i] = -opposite[i - 1];
    EXPECT_TRUE(resampleToWire(opposite, {48000, 2}).empty());
    // Mono at the wire rate passes through; an odd rate still gives a sample.
    const std::vector<std::int16_t> mono = {100, -200, 300};
    const auto same = resampleToWire(mono, {16000, 1});
    ASSERT_EQ(same.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(same[i], mono[i], 1);
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

// The converter filters: a tone above the wire's 8 kHz does not come back
// folded into the band, and one within it stays one sine across chunks of
// any size.
TEST(WireAudio, TheConverterFiltersOutOfBandTonesAndStaysContinuousAcrossChunks) {
    for (const int rate : {48000, 44100}) {
        SCOPED_TRACE(rate);
        WireConverter converter;
        std::vector<std::int16_t> voice, whistle;
        std::size_t at = 0;
        // 9 000 frames give more than one resampler run's worth: none is cut.
        for (const std::size_t size : {1024, 441, 1000, 333, 2048, 960, 9000, 777, 1500}) {
            const auto out = converter.convert(sine(1000, rate, 2, size, at), {rate, 2});
            voice.insert(voice.end(), out.begin(), out.end());
            at += size;
        }
        EXPECT_NEAR(static_cast<double>(voice.size()), at * 16000.0 / rate, 40);
        const std::span<const std::int16_t> settled = std::span(voice).subspan(100);
        EXPECT_NEAR(amplitudeOf(settled, 1000), 10000, 600);
        // A lost or repeated sample at a chunk's edge jumps further than the
        // sine ever moves from one sample to the next.
        EXPECT_LT(largestStep(settled), 1.1 * 2 * std::numbers::pi * 1000 / 16000 * 10000);

        WireConverter high;
        for (std::size_t from = 0; from < 9600; from += 960) {
            const auto out = high.convert(sine(10000, rate, 2, 960, from), {rate, 2});
            whistle.insert(whistle.end(), out.begin(), out.end());
        }
        ASSERT_GT(whistle.size(), 1000u);
        EXPECT_LT(peakOf(std::span<const std::int16_t>(whistle).subspan(100)), 1000)
            << "10 kHz is attenuated, not aliased";
    }
}

// The factor shows in the call audio's tests; here that loud audio stops at
// full scale (symmetric, for a call's microphone) and an odd byte is dropped.
TEST(WireAudio, GainClampsAndDropsAnOddByte) {
    wire::Bytes loud = wireAudio({20000, -20000, -32768});
    loud.push_back(std::byte{0x7F});
    EXPECT_EQ(wireSamples(applyGain(loud, 2.2)),
              (std::vector<std::int16_t>{32767, -32767, -32767}));
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

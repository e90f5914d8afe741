#include <gtest/gtest.h>

#include <vector>

#include "media/walkie_wav.h"
#include "platform/wav_file.h"

namespace merrowfax {
namespace {

// The stored exchange is the file the WAV writer makes of the same samples,
// and reads back as them.
TEST(WalkieWav, IsTheWireAudioWavOfTheBytesUnchanged) {
    for (const std::size_t size : {0u, 2u, 1600u}) {
        SCOPED_TRACE(size);
        std::vector<std::int16_t> samples(size / 2);
        for (std::size_t i = 0; i < samples.size(); ++i)
            samples[i] = static_cast<std::int16_t>(i * 997);
        const auto pcm = std::as_bytes(std::span(samples));
        const auto wav = makeWalkieWav(pcm);
        EXPECT_EQ(wav, makeWav(kWireAudioFormat, samples));
        if (samples.empty()) continue;
        const auto back = parseWav(wav);
        ASSERT_TRUE(back);
        EXPECT_EQ(back->format, kWireAudioFormat);
        EXPECT_EQ(back->samples, samples);
    }
}

}  // namespace
}  // namespace merrowfax

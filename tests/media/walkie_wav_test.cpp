#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "media/walkie_wav.h"
#include "platform/wav_file.h"

namespace merrowfax {
namespace {

std::uint32_t le32(const std::vector<std::byte>& b, std::size_t at) {
    return std::to_integer<std::uint32_t>(b[at]) | std::to_integer<std::uint32_t>(b[at + 1]) << 8 |
           std::to_integer<std::uint32_t>(b[at + 2]) << 16 |
           std::to_integer<std::uint32_t>(b[at + 3]) << 24;
}
std::uint32_t le16(const std::vector<std::byte>& b, std::size_t at) {
    return std::to_integer<std::uint32_t>(b[at]) | std::to_integer<std::uint32_t>(b[at + 1]) << 8;
}
std::string tag(const std::vector<std::byte>& b, std::size_t at) {
    return std::string(reinterpret_cast<const char*>(b.data() + at), 4);
}

TEST(WalkieWav, HeaderIsTheCanonicalWireAudioHeader) {
    std::vector<std::byte> pcm(1602);
    for (std::size_t i = 0; i < pcm.size(); ++i) pcm[i] = std::byte(i * 7);
    const auto wav = makeWalkieWav(pcm);
    ASSERT_EQ(wav.size(), 1646u);
    EXPECT_EQ(tag(wav, 0), "RIFF");
    EXPECT_EQ(le32(wav, 4), 1602u + 36);
    EXPECT_EQ(tag(wav, 8), "WAVE");
    EXPECT_EQ(tag(wav, 12), "fmt ");
    EXPECT_EQ(le32(wav, 16), 16u);
    EXPECT_EQ(le16(wav, 20), 1u);      // PCM
    EXPECT_EQ(le16(wav, 22), 1u);      // mono
    EXPECT_EQ(le32(wav, 24), 16000u);  // sample rate
    EXPECT_EQ(le32(wav, 28), 32000u);  // byte rate
    EXPECT_EQ(le16(wav, 32), 2u);      // block align
    EXPECT_EQ(le16(wav, 34), 16u);     // bits per sample
    EXPECT_EQ(tag(wav, 36), "data");
    EXPECT_EQ(le32(wav, 40), 1602u);
    EXPECT_EQ(0, std::memcmp(wav.data() + 44, pcm.data(), pcm.size()));

    // And it reads back as the same audio.
    const auto back = parseWav(wav);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->format, kWireAudioFormat);
    EXPECT_EQ(back->samples.size(), 801u);
}

TEST(WalkieWav, EmptyAudioIsJustTheHeader) {
    const auto wav = makeWalkieWav({});
    ASSERT_EQ(wav.size(), 44u);
    EXPECT_EQ(le32(wav, 4), 36u);
    EXPECT_EQ(le32(wav, 40), 0u);
}

}  // namespace
}  // namespace merrowfax

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <vector>

#include "media/audio_file_decoder.h"
#include "media/walkie_wav.h"
#include "platform/wav_file.h"

namespace merrowfax {
namespace {

class AudioFileDecoder : public ::testing::Test {
protected:
    QTemporaryDir dir;

    std::filesystem::path write(const std::string& name, std::span<const std::byte> bytes) {
        const std::filesystem::path path = dir.path().toStdString() + "/" + name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return path;
    }

    // `seconds` of a 440 Hz tone as wire audio.
    static std::vector<std::byte> tone(double seconds) {
        std::vector<std::byte> pcm;
        const int n = static_cast<int>(seconds * 16000);
        for (int i = 0; i < n; ++i) {
            const auto s = static_cast<std::int16_t>(8000 * std::sin(2 * M_PI * 440 * i / 16000.0));
            const auto u = static_cast<std::uint16_t>(s);
            pcm.push_back(std::byte(u & 0xFF));
            pcm.push_back(std::byte(u >> 8));
        }
        return pcm;
    }

    // Recordings made by FFmpeg's AAC encoder, kept with the fuzzer's seeds.
    static std::filesystem::path sample(const std::string& name) {
        return std::filesystem::path(MERROWFAX_AUDIO_SAMPLES) / name;
    }

    static std::vector<std::byte> contents(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        std::vector<char> chars{std::istreambuf_iterator<char>(in), {}};
        const auto bytes = std::as_bytes(std::span(chars));
        return {bytes.begin(), bytes.end()};
    }
};

TEST_F(AudioFileDecoder, OtherRatesAndChannelsBecomeWireAudio) {
    // One second of 44.1 kHz stereo.
    std::vector<std::int16_t> stereo(44100 * 2, 1000);
    const auto decoded =
        decodeAudioFile(write("voice.wav", makeWav(AudioFormat{44100, 2}, stereo)));
    ASSERT_TRUE(decoded);
    EXPECT_NEAR(static_cast<double>(decoded->size()), 32000.0, 64.0);
}

TEST_F(AudioFileDecoder, BrokenOrOversizedFilesGiveNothing) {
    const auto wav = makeWalkieWav(tone(2.0));
    // Cut inside the header.
    EXPECT_FALSE(decodeAudioFile(write("cut.wav", std::span(wav).first(30))));
    // Random bytes.
    std::mt19937 random(7);
    std::vector<std::byte> noise(50'000);
    for (auto& b : noise) b = std::byte(random() & 0xFF);
    EXPECT_FALSE(decodeAudioFile(write("noise.m4a", noise)));
    EXPECT_FALSE(decodeAudioFile(write("empty.wav", {})));
    EXPECT_FALSE(decodeAudioFile(dir.path().toStdString() + "/missing.wav"));
    // Longer than allowed is refused, not cut; so is a file over the size.
    EXPECT_FALSE(decodeAudioFile(write("long.wav", wav), {20'000'000, 32'000}));
    EXPECT_FALSE(decodeAudioFile(write("big.wav", wav), {1000, 300 * 32'000}));
    // A file cut inside its audio plays what is there.
    const auto part = decodeAudioFile(write("part.wav", std::span(wav).first(44 + 16'000)));
    ASSERT_TRUE(part);
    EXPECT_EQ(part->size(), 16'000u);
}

TEST_F(AudioFileDecoder, RecordingsInAacDecodeFromFilesAndFromMemory) {
    for (const char* name : {"tone.m4a", "tone.aac"}) {
        const auto decoded = decodeAudioFile(sample(name));
        ASSERT_TRUE(decoded) << name;
        EXPECT_GT(decoded->size(), 8000u) << name;
        EXPECT_TRUE(decodeAudioBytes(contents(sample(name))) == decoded) << name;
    }
    const auto wav = makeWalkieWav(tone(1.0));
    EXPECT_TRUE(decodeAudioBytes(wav) == std::vector(wav.begin() + 44, wav.end()));
    EXPECT_FALSE(decodeAudioBytes({}));
    EXPECT_FALSE(decodeAudioBytes(wav, {wav.size() - 1, 300 * 32'000}));
    // Each ADTS frame names its own channels: this one changes them midway.
    EXPECT_TRUE(decodeAudioFile(sample("adts-channels-change")));
}

// A playlist naming a recording elsewhere on this machine: playing a received
// file must never read another one in its place.
TEST_F(AudioFileDecoder, APlaylistNamingALocalFileIsRefused) {
    const auto other = write("private.aac", contents(sample("tone.aac")));
    ASSERT_TRUE(decodeAudioFile(other));
    const std::string playlist = "#EXTM3U\n#EXT-X-TARGETDURATION:10\n#EXTINF:10.0,\n" +
                                 other.string() + "\n#EXT-X-ENDLIST\n";
    const auto bytes = std::as_bytes(std::span(playlist));
    for (const char* name : {"voice.m3u8", "voice.m4a", "voice"}) {
        EXPECT_FALSE(decodeAudioFile(write(name, bytes))) << name;
    }
    EXPECT_FALSE(decodeAudioBytes(bytes));
}

}  // namespace
}  // namespace merrowfax

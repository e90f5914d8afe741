#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/audio_devices.h"
#include "platform/wav_file.h"

namespace merrowfax {
namespace {

std::vector<std::int16_t> ramp(std::size_t count) {
    std::vector<std::int16_t> samples(count);
    for (std::size_t i = 0; i < count; ++i) {
        samples[i] = static_cast<std::int16_t>(static_cast<int>(i * 977 % 65536) - 32768);
    }
    return samples;
}

std::vector<std::byte> bytesOf(std::string_view text) {
    std::vector<std::byte> out(text.size());
    std::memcpy(out.data(), text.data(), text.size());
    return out;
}

void putU32(std::vector<std::byte>& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::byte>(value >> (8 * i));
}

void putU16(std::vector<std::byte>& bytes, std::size_t at, std::uint16_t value) {
    bytes[at] = static_cast<std::byte>(value & 0xFF);
    bytes[at + 1] = static_cast<std::byte>(value >> 8);
}

TEST(WavFile, RoundTripKeepsFormatAndEverySample) {
    const auto samples = ramp(3001 * 2);
    const AudioFormat stereo{44100, 2};
    const auto file = makeWav(stereo, samples);
    ASSERT_EQ(file.size(), 44 + samples.size() * 2);
    const auto back = parseWav(file);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->format, stereo);
    EXPECT_EQ(back->samples, samples);

    // The walkie's message file: the canonical header of wire audio.
    const auto wire = makeWav(kWireAudioFormat, ramp(4));
    const auto expected =
        bytesOf(std::string("RIFF\x2c\0\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0", 24) +
                std::string("\x80\x3e\0\0\0\x7d\0\0\x02\0\x10\0data\x08\0\0\0", 20));
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), wire.begin()));

    QTemporaryDir dir;
    const std::filesystem::path path = dir.filePath(QStringLiteral("a.wav")).toStdString();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()),
               static_cast<std::streamsize>(file.size()));
    EXPECT_EQ(readWav(path)->samples, samples);
    EXPECT_FALSE(readWav(path, file.size() - 1)) << "larger than allowed";
    EXPECT_FALSE(readWav(dir.filePath(QStringLiteral("missing.wav")).toStdString()));
}

TEST(WavFile, SkipsOtherChunksHonoursPaddingAndDropsAPartFrame) {
    auto file = makeWav(kWireAudioFormat, ramp(10));
    // A LIST chunk of odd size (padded) between "fmt " and "data".
    std::vector<std::byte> list = bytesOf(std::string("LIST\x03\0\0\0abc\0", 12));
    file.insert(file.begin() + 36, list.begin(), list.end());
    // One stray byte at the end of the data: half a sample.
    file.push_back(std::byte{0x7F});
    putU32(file, 40 + 12, 21);
    putU32(file, 4, static_cast<std::uint32_t>(file.size() - 8));
    const auto back = parseWav(file);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->samples, ramp(10));
}

TEST(WavFile, RefusesWhatIsNotSixteenBitPcmOrDoesNotAddUp) {
    const auto good = makeWav(kWireAudioFormat, ramp(100));
    ASSERT_TRUE(parseWav(good));
    auto refused = [&](auto change) {
        auto bytes = good;
        change(bytes);
        return !parseWav(bytes).has_value();
    };
    EXPECT_TRUE(refused([](auto& b) { b[0] = std::byte{'X'}; })) << "not RIFF";
    EXPECT_TRUE(refused([](auto& b) { b[8] = std::byte{'X'}; })) << "not WAVE";
    EXPECT_TRUE(refused([](auto& b) { putU16(b, 20, 3); })) << "float samples";
    EXPECT_TRUE(refused([](auto& b) { putU16(b, 34, 8); })) << "8-bit samples";
    EXPECT_TRUE(refused([](auto& b) { putU16(b, 22, 0); })) << "no channels";
    EXPECT_TRUE(refused([](auto& b) { putU16(b, 22, 200); })) << "200 channels";
    EXPECT_TRUE(refused([](auto& b) { putU32(b, 24, 0); })) << "rate 0";
    EXPECT_TRUE(refused([](auto& b) { putU32(b, 28, 1); })) << "byte rate disagrees";
    EXPECT_TRUE(refused([](auto& b) { putU16(b, 32, 4); })) << "block align disagrees";
    EXPECT_TRUE(refused([](auto& b) { putU32(b, 16, 8); })) << "format chunk too short";
    EXPECT_TRUE(refused([](auto& b) { putU32(b, 4, 0xFFFFFFFF); })) << "RIFF size past the end";
    EXPECT_TRUE(refused([](auto& b) { putU32(b, 4, 2); })) << "RIFF size below WAVE";
    EXPECT_TRUE(refused([](auto& b) { putU32(b, 40, 0xFFFFFFF0); })) << "data past the end";
    EXPECT_TRUE(refused([](auto& b) { putU32(b, 16, 0x7FFFFFFF); })) << "format past the end";
    EXPECT_TRUE(refused([](auto& b) { std::memcpy(&b[36], "junk", 4); })) << "no data chunk";
    EXPECT_TRUE(refused([](auto& b) { std::memcpy(&b[12], "junk", 4); })) << "data before fmt";
    EXPECT_FALSE(parseWav({}));

    // Every truncation of the header is refused; cutting the samples short
    // leaves the data chunk running past the end.
    for (std::size_t size = 0; size < good.size(); ++size) {
        EXPECT_FALSE(parseWav(std::span(good).first(size))) << size;
    }
}

TEST(HeadlessDevices, WavSpeakerWritesAReadableFileEachStart) {
    QTemporaryDir dir;
    const std::filesystem::path output = dir.filePath(QStringLiteral("out.wav")).toStdString();
    const std::vector<std::int16_t> first = {1, -2, 3, -32768, 32767};
    {
        WavFileSpeaker speaker(output);
        ASSERT_TRUE(speaker.start());
        speaker.play(first);
        speaker.play(first);
        speaker.stop();
        auto written = readWav(output);
        ASSERT_TRUE(written);
        EXPECT_EQ(written->format, kWireAudioFormat);
        EXPECT_EQ(written->samples.size(), 10u);
        EXPECT_EQ(std::vector(written->samples.begin() + 5, written->samples.end()), first);

        speaker.play(first);  // stopped: dropped
        ASSERT_TRUE(speaker.start());
        speaker.play(std::vector<std::int16_t>{7});
    }  // the end of the speaker settles the file too
    auto written = readWav(output);
    ASSERT_TRUE(written);
    EXPECT_EQ(written->samples, std::vector<std::int16_t>{7});
}

}  // namespace
}  // namespace merrowfax

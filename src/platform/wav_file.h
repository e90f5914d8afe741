#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

#include "platform/audio_format.h"

namespace merrowfax {

// A whole WAV file of 16-bit PCM.
struct WavAudio {
    AudioFormat format;
    std::vector<std::int16_t> samples;  // interleaved frames
};

// Files larger than this are refused unread: an hour of 48 kHz stereo.
inline constexpr std::size_t kMaxWavBytes = 700u << 20;

// Reads a RIFF/WAVE file: a "fmt " chunk of plain PCM, 16 bits a sample, 1 to
// 8 channels, and a "data" chunk after it; other chunks are skipped. Anything
// else (another encoding, a chunk running past the end, sizes that disagree)
// gives nothing. A trailing part of a frame is dropped.
std::optional<WavAudio> parseWav(std::span<const std::byte> bytes);
std::optional<WavAudio> readWav(const std::filesystem::path& file,
                                std::size_t maxBytes = kMaxWavBytes);

// The most sample bytes one file can describe.
inline constexpr std::uint32_t kMaxWavDataBytes = 0xFFFFFFFFu - 36;

// The canonical 44-byte header for `dataBytes` bytes of samples.
std::vector<std::byte> wavHeader(AudioFormat format, std::uint32_t dataBytes);
// Header and samples; nothing when there are more than one file can hold.
std::vector<std::byte> makeWav(AudioFormat format, std::span<const std::int16_t> samples);

}  // namespace merrowfax

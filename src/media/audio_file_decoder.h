#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <vector>

namespace merrowfax {

// What one stored recording may be to be played back: a file no larger than
// an attachment, and at most five minutes of audio.
struct AudioDecodeLimits {
    std::size_t maxFileBytes = 20'000'000;
    std::size_t maxOutputBytes = 300 * 32'000;
};

// Decodes an audio file of any common container and codec (WAV, AIFF, CAF,
// M4A/AAC, MP3) to wire audio: 16 kHz mono signed 16-bit little-endian PCM.
// Nothing for a file that cannot be read, holds no audio stream, decodes to
// nothing, or exceeds the limits (refused, not cut: a long file is not a
// walkie clip). Slow for large files: call it off the main thread.
std::optional<std::vector<std::byte>> decodeAudioFile(const std::filesystem::path& file,
                                                      const AudioDecodeLimits& limits = {});

}  // namespace merrowfax

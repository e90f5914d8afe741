#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

namespace merrowfax {

// What one stored recording may be to be played back: a file no larger than
// an attachment, and at most five minutes of audio.
struct AudioDecodeLimits {
    std::size_t maxFileBytes = 20'000'000;
    std::size_t maxOutputBytes = 300 * 32'000;
};

// Decodes a recording to wire audio: 16 kHz mono signed 16-bit little-endian
// PCM. Only the containers recordings come in are read (MP4/M4A/3GP, WAV,
// MP3, ADTS AAC, AIFF, CAF) and only AAC, MP3, ALAC and PCM audio in them:
// the file comes from other people, and FFmpeg's other demuxers include
// playlists that open further files named inside. Nothing for a file that
// cannot be read, is of another kind, holds no such audio stream, decodes to
// nothing, or exceeds the limits (refused, not cut: a long file is not a
// walkie clip). Slow for large files: call it off the main thread.
std::optional<std::vector<std::byte>> decodeAudioFile(const std::filesystem::path& file,
                                                      const AudioDecodeLimits& limits = {});

// The same for a file's bytes already in memory.
std::optional<std::vector<std::byte>> decodeAudioBytes(std::span<const std::byte> bytes,
                                                       const AudioDecodeLimits& limits = {});

}  // namespace merrowfax

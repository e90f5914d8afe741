#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>

namespace merrowfax {

// Encodes a voice message into a file, for VoiceRecorder. The real one is
// AAC in an .m4a file (media/aac_voice_encoder.h); one thread at a time.
class VoiceEncoder {
public:
    virtual ~VoiceEncoder() = default;
    // Creates `file` and gets ready to write into it; false when it cannot.
    virtual bool open(const std::filesystem::path& file) = 0;
    // Encodes more wire audio (16 kHz mono); a failure shows in finish().
    virtual void add(std::span<const std::int16_t> samples) = 0;
    // Completes and closes the file: true when it holds all the audio added
    // and there was some.
    virtual bool finish() = 0;
};

// Makes a fresh encoder for each recording.
using MakeVoiceEncoder = std::function<std::unique_ptr<VoiceEncoder>()>;

}  // namespace merrowfax

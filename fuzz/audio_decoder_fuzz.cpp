// The decoder of received recordings on arbitrary bytes, through the same
// format and codec whitelists as a stored file. Besides not crashing: what
// decodes is whole 16-bit samples within the bound.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "media/audio_file_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Ten seconds of output keep each run short.
    constexpr merrowfax::AudioDecodeLimits kLimits{1'000'000, 10 * 32'000};
    const std::span<const std::byte> input(reinterpret_cast<const std::byte*>(data), size);
    const auto pcm = merrowfax::decodeAudioBytes(input, kLimits);
    if (pcm && (pcm->empty() || pcm->size() % 2 != 0 || pcm->size() > kLimits.maxOutputBytes)) {
        std::abort();
    }
    return 0;
}

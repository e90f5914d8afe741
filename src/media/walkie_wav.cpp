#include "media/walkie_wav.h"

#include <cstdint>

#include "platform/audio_format.h"
#include "platform/wav_file.h"

namespace merrowfax {

std::vector<std::byte> makeWalkieWav(std::span<const std::byte> pcm) {
    if (pcm.size() > kMaxWavDataBytes) return {};
    std::vector<std::byte> out =
        wavHeader(kWireAudioFormat, static_cast<std::uint32_t>(pcm.size()));
    out.insert(out.end(), pcm.begin(), pcm.end());
    return out;
}

}  // namespace merrowfax

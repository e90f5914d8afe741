#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace merrowfax {

// A walkie exchange as a stored audio file: the canonical 44-byte WAV header
// of wire audio (16 kHz mono 16-bit PCM) followed by the bytes unchanged.
// Nothing when the bytes are more than one file can describe.
std::vector<std::byte> makeWalkieWav(std::span<const std::byte> pcm);

}  // namespace merrowfax

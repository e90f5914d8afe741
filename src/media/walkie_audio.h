#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "wire/peer_event.h"

namespace merrowfax {

// The sounds of the walkie-talkie, in wire audio (16 kHz mono 16-bit).

// The radio static that opens and closes every heard talk: 0.4 s of noise
// from a fixed linear congruential generator at 28 % of full scale, fading out
// linearly over its last 80 ms. The same bytes every time; made once.
const wire::Bytes& staticBurst();
inline constexpr std::size_t kStaticBurstSamples = 6400;

// How much louder a heard talk plays than it was captured.
inline constexpr double kWalkieBoost = 2.75;

// Every sample times kWalkieBoost, truncated and clamped to the 16-bit range.
// A trailing odd byte is dropped.
wire::Bytes boostForSpeaker(std::span<const std::byte> chunk);
// The same, in place, on samples.
void boostForSpeaker(std::span<std::int16_t> samples);

}  // namespace merrowfax

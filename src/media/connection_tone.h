#pragma once

#include <cstdint>
#include <vector>

#include "wire/peer_event.h"

namespace merrowfax {

// The tone both sides hear when a call connects: 880 Hz at 45 % of full
// scale in wire audio (16 kHz), with 10 ms linear ramps at both ends.
std::vector<std::int16_t> makeTone(int count);

// Samples as wire audio bytes (16-bit little-endian).
wire::Bytes wireAudio(const std::vector<std::int16_t>& samples);

// The tone's length when a call connects: 0.2 s.
inline constexpr int kConnectionToneSamples = 3200;

}  // namespace merrowfax

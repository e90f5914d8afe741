#pragma once

#include <cstdint>

namespace merrowfax {

// The shape of 16-bit signed PCM audio, interleaved when it has more than one
// channel. Every audio device and file of the program carries this sample
// type; only the rate and the channel count differ.
struct AudioFormat {
    int sampleRate = 16000;
    int channels = 1;

    int bytesPerFrame() const { return channels * 2; }
    bool operator==(const AudioFormat&) const = default;
};

// The wire audio of calls and the walkie: 16 kHz mono.
inline constexpr AudioFormat kWireAudioFormat{16000, 1};

}  // namespace merrowfax

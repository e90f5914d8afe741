#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform/audio_format.h"
#include "wire/peer_event.h"

struct SpeexResamplerState_;

namespace merrowfax {

// Microphone audio to wire audio (16 kHz mono 16-bit), and back.

// The direct conversion: nearest-sample decimation of interleaved 16-bit
// frames at `format`, each output sample the mean of its frame's channels.
// Nothing when there is no frame, the rate is not above 0, or the result is
// all zero (so the converter path gets its chance).
std::vector<std::int16_t> resampleToWire(std::span<const std::int16_t> frames, AudioFormat format);

// The converter path: a filtering resampler kept for one input format and
// made anew when the format changes. A long buffer is converted whole.
class WireConverter {
public:
    WireConverter();
    ~WireConverter();
    WireConverter(const WireConverter&) = delete;
    WireConverter& operator=(const WireConverter&) = delete;

    // Nothing when the format has no rate or no channels.
    std::vector<std::int16_t> convert(std::span<const std::int16_t> frames, AudioFormat format);

private:
    struct Free {
        void operator()(SpeexResamplerState_* state) const;
    };
    std::unique_ptr<SpeexResamplerState_, Free> resampler_;
    AudioFormat made_{0, 0};
    std::vector<std::int16_t> mono_;
};

// Every 16-bit sample times `gain`, truncated and clamped to +-32767, in
// place.
void applyGain(std::span<std::int16_t> samples, double gain);
// The same on wire bytes. A trailing odd byte is dropped; fewer than 2 bytes
// come back unchanged.
wire::Bytes applyGain(std::span<const std::byte> chunk, double gain);

// The largest absolute sample value.
int peakOf(std::span<const std::int16_t> samples);
int peakOf(std::span<const std::byte> chunk);

// Wire bytes as samples; a trailing odd byte is dropped.
std::vector<std::int16_t> wireSamples(std::span<const std::byte> chunk);

// Wire audio for a speaker of `format`: resampled and copied to every
// channel. Kept for one output format, like WireConverter.
class SpeakerConverter {
public:
    explicit SpeakerConverter(AudioFormat output);
    ~SpeakerConverter();
    SpeakerConverter(const SpeakerConverter&) = delete;
    SpeakerConverter& operator=(const SpeakerConverter&) = delete;

    std::vector<std::int16_t> convert(std::span<const std::int16_t> wire);

private:
    struct Free {
        void operator()(SpeexResamplerState_* state) const;
    };
    AudioFormat output_;
    std::unique_ptr<SpeexResamplerState_, Free> resampler_;
};

}  // namespace merrowfax

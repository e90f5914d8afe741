#include "media/wire_audio.h"

#include <speex/speex_resampler.h>

#include "media/connection_tone.h"

#include <algorithm>
#include <cstdlib>

namespace merrowfax {
namespace {

constexpr int kWireRate = kWireAudioFormat.sampleRate;
// Output room beyond the rate ratio, for what the filter held back.
constexpr std::size_t kConverterSlack = 64;

std::int16_t clampSample(double value) {
    return static_cast<std::int16_t>(std::clamp(value, -32767.0, 32767.0));
}

SpeexResamplerState* newResampler(int channels, int from, int to) {
    int error = 0;
    auto* state =
        speex_resampler_init(static_cast<spx_uint32_t>(channels), static_cast<spx_uint32_t>(from),
                             static_cast<spx_uint32_t>(to), SPEEX_RESAMPLER_QUALITY_VOIP, &error);
    if (state) speex_resampler_skip_zeros(state);
    return state;
}

}  // namespace

std::vector<std::int16_t> resampleToWire(std::span<const std::int16_t> frames, AudioFormat format) {
    const int channels = std::max(format.channels, 1);
    const std::size_t n = frames.size() / static_cast<std::size_t>(channels);
    if (n == 0 || format.sampleRate <= 0) return {};
    const double step = static_cast<double>(format.sampleRate) / kWireRate;
    const auto m =
        std::max<std::size_t>(1, static_cast<std::size_t>(static_cast<double>(n) / step));
    std::vector<std::int16_t> out(m);
    int peak = 0;
    for (std::size_t i = 0; i < m; ++i) {
        const std::size_t source =
            std::min(static_cast<std::size_t>(static_cast<double>(i) * step), n - 1);
        float sum = 0;
        for (int c = 0; c < channels; ++c) {
            sum += static_cast<float>(frames[source * static_cast<std::size_t>(channels) +
                                             static_cast<std::size_t>(c)]) /
                   32768.0f;
        }
        const float value = std::clamp(sum / static_cast<float>(channels), -1.0f, 1.0f);
        out[i] = static_cast<std::int16_t>(value * 32767.0f);
        peak = std::max(peak, std::abs(static_cast<int>(out[i])));
    }
    if (peak == 0) return {};
    return out;
}

void WireConverter::Free::operator()(SpeexResamplerState_* state) const {
    speex_resampler_destroy(state);
}

WireConverter::WireConverter() = default;
WireConverter::~WireConverter() = default;

std::vector<std::int16_t> WireConverter::convert(std::span<const std::int16_t> frames,
                                                 AudioFormat format) {
    if (format.sampleRate <= 0 || format.channels <= 0) return {};
    if (!resampler_ || format != made_) {
        resampler_.reset(newResampler(1, format.sampleRate, kWireRate));
        if (!resampler_) return {};
        made_ = format;
    }
    const auto channels = static_cast<std::size_t>(format.channels);
    const std::size_t n = frames.size() / channels;
    mono_.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        int sum = 0;
        for (std::size_t c = 0; c < channels; ++c) sum += frames[i * channels + c];
        mono_[i] = static_cast<std::int16_t>(sum / static_cast<int>(channels));
    }
    // Room for all of it: a long buffer is converted whole, never cut.
    std::vector<std::int16_t> out(n * kWireRate / static_cast<std::size_t>(format.sampleRate) +
                                  kConverterSlack);
    auto inLength = static_cast<spx_uint32_t>(n);
    auto outLength = static_cast<spx_uint32_t>(out.size());
    speex_resampler_process_int(resampler_.get(), 0, mono_.data(), &inLength, out.data(),
                                &outLength);
    out.resize(outLength);
    return out;
}

void applyGain(std::span<std::int16_t> samples, double gain) {
    for (std::int16_t& s : samples) s = clampSample(static_cast<int>(s * gain));
}

wire::Bytes applyGain(std::span<const std::byte> chunk, double gain) {
    if (chunk.size() < 2) return {chunk.begin(), chunk.end()};
    std::vector<std::int16_t> samples = wireSamples(chunk);
    applyGain(samples, gain);
    return wireAudio(samples);
}

int peakOf(std::span<const std::int16_t> samples) {
    int peak = 0;
    for (std::int16_t s : samples) peak = std::max(peak, std::abs(static_cast<int>(s)));
    return peak;
}

int peakOf(std::span<const std::byte> chunk) {
    return peakOf(wireSamples(chunk));
}

std::vector<std::int16_t> wireSamples(std::span<const std::byte> chunk) {
    std::vector<std::int16_t> samples(chunk.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const auto low = static_cast<std::uint16_t>(chunk[2 * i]);
        const auto high = static_cast<std::uint16_t>(chunk[2 * i + 1]);
        samples[i] = static_cast<std::int16_t>(low | (high << 8));
    }
    return samples;
}

void SpeakerConverter::Free::operator()(SpeexResamplerState_* state) const {
    speex_resampler_destroy(state);
}

SpeakerConverter::SpeakerConverter(AudioFormat output) : output_(output) {
    if (output_.sampleRate > 0 && output_.sampleRate != kWireRate) {
        resampler_.reset(newResampler(1, kWireRate, output_.sampleRate));
    }
}

SpeakerConverter::~SpeakerConverter() = default;

std::vector<std::int16_t> SpeakerConverter::convert(std::span<const std::int16_t> wire) {
    std::vector<std::int16_t> mono;
    if (resampler_) {
        // Room for the ratio plus the filter's own delay line.
        mono.resize(wire.size() * static_cast<std::size_t>(output_.sampleRate) / kWireRate + 64);
        auto inLength = static_cast<spx_uint32_t>(wire.size());
        auto outLength = static_cast<spx_uint32_t>(mono.size());
        speex_resampler_process_int(resampler_.get(), 0, wire.data(), &inLength, mono.data(),
                                    &outLength);
        mono.resize(outLength);
    } else {
        mono.assign(wire.begin(), wire.end());
    }
    const auto channels = static_cast<std::size_t>(std::max(output_.channels, 1));
    if (channels == 1) return mono;
    std::vector<std::int16_t> out(mono.size() * channels);
    for (std::size_t i = 0; i < mono.size(); ++i) {
        std::fill_n(out.begin() + static_cast<std::ptrdiff_t>(i * channels), channels, mono[i]);
    }
    return out;
}

}  // namespace merrowfax

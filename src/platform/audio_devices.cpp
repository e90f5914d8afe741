#include "platform/audio_devices.h"

#include <algorithm>

#include "platform/wav_file.h"

namespace merrowfax {
namespace {

constexpr int kChunkMs = 20;

}  // namespace

ClipMicrophone::ClipMicrophone() : ClipMicrophone(kWireAudioFormat, {}) {}

ClipMicrophone::ClipMicrophone(AudioFormat format, std::vector<std::int16_t> clip)
    : format_(format), clip_(std::move(clip)) {
    chunk_.resize(static_cast<std::size_t>(format_.sampleRate / (1000 / kChunkMs)) *
                  static_cast<std::size_t>(format_.channels));
    timer_.setInterval(kChunkMs);
    QObject::connect(&timer_, &QTimer::timeout, [this] { deliver(); });
}

std::unique_ptr<ClipMicrophone> ClipMicrophone::fromWav(const std::filesystem::path& file) {
    auto audio = readWav(file);
    if (!audio) return nullptr;
    return std::make_unique<ClipMicrophone>(audio->format, std::move(audio->samples));
}

bool ClipMicrophone::start(OnChunk onChunk) {
    onChunk_ = std::move(onChunk);
    position_ = 0;
    timer_.start();
    return true;
}

void ClipMicrophone::stop() {
    timer_.stop();
    onChunk_ = nullptr;
}

void ClipMicrophone::deliver() {
    const std::size_t fromClip = std::min(chunk_.size(), clip_.size() - position_);
    std::copy_n(clip_.begin() + static_cast<std::ptrdiff_t>(position_), fromClip, chunk_.begin());
    std::fill(chunk_.begin() + static_cast<std::ptrdiff_t>(fromClip), chunk_.end(), 0);
    position_ += fromClip;
    if (onChunk_) onChunk_(chunk_);
}

WavFileSpeaker::WavFileSpeaker(std::filesystem::path file, AudioFormat format)
    : path_(std::move(file)), format_(format) {}

WavFileSpeaker::~WavFileSpeaker() {
    stop();
}

bool WavFileSpeaker::start() {
    std::lock_guard lock(mutex_);
    finish();
    out_.open(path_, std::ios::binary | std::ios::trunc);
    const auto header = wavHeader(format_, 0);
    out_.write(reinterpret_cast<const char*>(header.data()),
               static_cast<std::streamsize>(header.size()));
    dataBytes_ = 0;
    return static_cast<bool>(out_);
}

void WavFileSpeaker::play(std::span<const std::int16_t> samples) {
    std::lock_guard lock(mutex_);
    if (!out_.is_open()) return;
    const std::size_t room = (kMaxWavDataBytes - dataBytes_) / 2;
    samples = samples.first(std::min(samples.size(), room - room % format_.channels));
    for (std::int16_t s : samples) {
        const auto u = static_cast<std::uint16_t>(s);
        const char bytes[2] = {static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
        out_.write(bytes, 2);
    }
    dataBytes_ += static_cast<std::uint32_t>(samples.size() * 2);
    reportPlayed(samples);
}

void WavFileSpeaker::stop() {
    std::lock_guard lock(mutex_);
    finish();
}

void WavFileSpeaker::finish() {
    if (!out_.is_open()) return;
    const auto header = wavHeader(format_, dataBytes_);
    out_.seekp(0);
    out_.write(reinterpret_cast<const char*>(header.data()),
               static_cast<std::streamsize>(header.size()));
    out_.close();
}

}  // namespace merrowfax

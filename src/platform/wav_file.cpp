#include "platform/wav_file.h"

#include <cstring>
#include <fstream>
#include <string_view>

namespace merrowfax {
namespace {

constexpr std::uint16_t kPcm = 1;
constexpr int kMaxChannels = 8;
constexpr int kMaxRate = 384'000;

// Little-endian fields at a cursor that never reads past its span.
class Reader {
public:
    explicit Reader(std::span<const std::byte> bytes) : bytes_(bytes) {}

    std::size_t left() const { return bytes_.size() - at_; }
    bool tag(std::string_view expected) {
        if (left() < 4 || std::memcmp(bytes_.data() + at_, expected.data(), 4) != 0) return false;
        at_ += 4;
        return true;
    }
    std::optional<std::uint32_t> u32() {
        if (left() < 4) return std::nullopt;
        std::uint32_t v = 0;
        for (int i = 3; i >= 0; --i) v = (v << 8) | std::to_integer<std::uint32_t>(bytes_[at_ + i]);
        at_ += 4;
        return v;
    }
    std::optional<std::uint16_t> u16() {
        if (left() < 2) return std::nullopt;
        const auto v = static_cast<std::uint16_t>(std::to_integer<unsigned>(bytes_[at_]) |
                                                  std::to_integer<unsigned>(bytes_[at_ + 1]) << 8);
        at_ += 2;
        return v;
    }
    std::span<const std::byte> take(std::size_t n) {
        auto part = bytes_.subspan(at_, n);
        at_ += n;
        return part;
    }

private:
    std::span<const std::byte> bytes_;
    std::size_t at_ = 0;
};

std::optional<AudioFormat> parseFormat(std::span<const std::byte> chunk) {
    if (chunk.size() < 16) return std::nullopt;
    Reader r(chunk);
    const auto encoding = r.u16();
    const auto channels = r.u16();
    const auto rate = r.u32();
    const auto byteRate = r.u32();
    const auto blockAlign = r.u16();
    const auto bits = r.u16();
    if (*encoding != kPcm || *bits != 16) return std::nullopt;
    if (*channels < 1 || *channels > kMaxChannels) return std::nullopt;
    if (*rate < 1 || *rate > kMaxRate) return std::nullopt;
    const AudioFormat format{static_cast<int>(*rate), static_cast<int>(*channels)};
    if (*blockAlign != format.bytesPerFrame()) return std::nullopt;
    if (*byteRate != *rate * static_cast<std::uint32_t>(*blockAlign)) return std::nullopt;
    return format;
}

void putTag(std::vector<std::byte>& out, std::string_view tag) {
    for (char c : tag) out.push_back(static_cast<std::byte>(c));
}

void put(std::vector<std::byte>& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::byte>(value >> (8 * i)));
}

}  // namespace

std::optional<WavAudio> parseWav(std::span<const std::byte> bytes) {
    Reader file(bytes);
    if (!file.tag("RIFF")) return std::nullopt;
    const auto riffSize = file.u32();
    if (!riffSize || *riffSize < 4 || *riffSize > file.left() || !file.tag("WAVE")) {
        return std::nullopt;
    }
    Reader body(bytes.subspan(12, *riffSize - 4));

    std::optional<AudioFormat> format;
    while (body.left() >= 8) {
        const bool isFormat = body.tag("fmt ");
        const bool isData = !isFormat && body.tag("data");
        if (!isFormat && !isData) body.take(4);
        const std::uint32_t size = *body.u32();
        if (size > body.left()) return std::nullopt;  // runs past the end
        const auto chunk = body.take(size);
        if (size % 2 == 1 && body.left() > 0) body.take(1);  // chunks are padded to even sizes

        if (isFormat) {
            if (format) return std::nullopt;  // a second format
            format = parseFormat(chunk);
            if (!format) return std::nullopt;
        } else if (isData) {
            if (!format) return std::nullopt;  // samples of no known shape
            WavAudio audio{*format, {}};
            const std::size_t frames = chunk.size() / format->bytesPerFrame();
            audio.samples.resize(frames * format->channels);
            Reader samples(chunk);
            for (auto& s : audio.samples) s = static_cast<std::int16_t>(*samples.u16());
            return audio;
        }
    }
    return std::nullopt;  // no samples
}

std::optional<WavAudio> readWav(const std::filesystem::path& path, std::size_t maxBytes) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    if (error || size > maxBytes) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    std::vector<std::byte> bytes(size);
    if (!in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size))) {
        return std::nullopt;
    }
    return parseWav(bytes);
}

std::vector<std::byte> wavHeader(AudioFormat format, std::uint32_t dataBytes) {
    std::vector<std::byte> out;
    out.reserve(44);
    putTag(out, "RIFF");
    put(out, dataBytes + 36, 4);
    putTag(out, "WAVE");
    putTag(out, "fmt ");
    put(out, 16, 4);
    put(out, kPcm, 2);
    put(out, static_cast<std::uint32_t>(format.channels), 2);
    put(out, static_cast<std::uint32_t>(format.sampleRate), 4);
    put(out, static_cast<std::uint32_t>(format.sampleRate * format.bytesPerFrame()), 4);
    put(out, static_cast<std::uint32_t>(format.bytesPerFrame()), 2);
    put(out, 16, 2);
    putTag(out, "data");
    put(out, dataBytes, 4);
    return out;
}

std::vector<std::byte> makeWav(AudioFormat format, std::span<const std::int16_t> samples) {
    if (samples.size() > kMaxWavDataBytes / 2) return {};
    std::vector<std::byte> out = wavHeader(format, static_cast<std::uint32_t>(samples.size() * 2));
    out.reserve(out.size() + samples.size() * 2);
    for (std::int16_t s : samples) put(out, static_cast<std::uint16_t>(s), 2);
    return out;
}

}  // namespace merrowfax

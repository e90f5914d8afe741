#include <gtest/gtest.h>

#include <QTemporaryDir>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <vector>

#include "media/audio_file_decoder.h"
#include "media/walkie_wav.h"
#include "platform/wav_file.h"

namespace merrowfax {
namespace {

class AudioFileDecoder : public ::testing::Test {
protected:
    QTemporaryDir dir;

    std::filesystem::path write(const std::string& name, std::span<const std::byte> bytes) {
        const std::filesystem::path path = dir.path().toStdString() + "/" + name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return path;
    }

    // `seconds` of a 440 Hz tone as wire audio.
    static std::vector<std::byte> tone(double seconds) {
        std::vector<std::byte> pcm;
        const int n = static_cast<int>(seconds * 16000);
        for (int i = 0; i < n; ++i) {
            const auto s = static_cast<std::int16_t>(8000 * std::sin(2 * M_PI * 440 * i / 16000.0));
            const auto u = static_cast<std::uint16_t>(s);
            pcm.push_back(std::byte(u & 0xFF));
            pcm.push_back(std::byte(u >> 8));
        }
        return pcm;
    }

    // Wire audio encoded as AAC by FFmpeg, in the container the name asks
    // for (".m4a": MP4, ".aac": ADTS), the same in every channel. Empty when
    // encoding failed.
    std::filesystem::path writeAac(const std::string& name, std::span<const std::byte> pcm,
                                   int channels = 1) {
        const std::filesystem::path path = dir.path().toStdString() + "/" + name;
        AVFormatContext* out = nullptr;
        if (avformat_alloc_output_context2(&out, nullptr, nullptr, path.c_str()) < 0) return {};
        const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
        AVCodecContext* encoder = avcodec_alloc_context3(codec);
        AVStream* stream = avformat_new_stream(out, nullptr);
        AVPacket* packet = av_packet_alloc();
        AVFrame* frame = av_frame_alloc();
        encoder->sample_rate = 16000;
        encoder->sample_fmt = AV_SAMPLE_FMT_FLTP;
        av_channel_layout_default(&encoder->ch_layout, channels);
        encoder->time_base = {1, 16000};
        if (out->oformat->flags & AVFMT_GLOBALHEADER) encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        bool ok = avcodec_open2(encoder, codec, nullptr) >= 0 &&
                  avcodec_parameters_from_context(stream->codecpar, encoder) >= 0 &&
                  avio_open(&out->pb, path.c_str(), AVIO_FLAG_WRITE) >= 0 &&
                  avformat_write_header(out, nullptr) >= 0;
        auto write = [&](const AVFrame* f) {
            ok = ok && avcodec_send_frame(encoder, f) >= 0;
            while (ok && avcodec_receive_packet(encoder, packet) >= 0) {
                av_packet_rescale_ts(packet, encoder->time_base, stream->time_base);
                ok = av_interleaved_write_frame(out, packet) >= 0;
            }
        };
        const std::size_t samples = pcm.size() / 2;
        for (std::size_t at = 0; ok && at < samples;) {
            const auto n = std::min<std::size_t>(encoder->frame_size, samples - at);
            frame->nb_samples = static_cast<int>(n);
            frame->format = encoder->sample_fmt;
            frame->ch_layout = encoder->ch_layout;
            frame->pts = static_cast<std::int64_t>(at);
            ok = av_frame_get_buffer(frame, 0) >= 0;
            for (std::size_t i = 0; ok && i < n; ++i, ++at) {
                std::int16_t s;
                std::memcpy(&s, pcm.data() + at * 2, 2);
                for (int c = 0; c < channels; ++c) {
                    reinterpret_cast<float*>(frame->extended_data[c])[i] = s / 32768.0F;
                }
            }
            write(frame);
            av_frame_unref(frame);
        }
        write(nullptr);
        ok = ok && av_write_trailer(out) >= 0;
        avio_closep(&out->pb);
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&encoder);
        avformat_free_context(out);
        return ok ? path : std::filesystem::path();
    }

    static std::vector<std::byte> contents(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        std::vector<char> chars{std::istreambuf_iterator<char>(in), {}};
        const auto bytes = std::as_bytes(std::span(chars));
        return {bytes.begin(), bytes.end()};
    }
};

TEST_F(AudioFileDecoder, AWalkieFileDecodesToItsOwnAudio) {
    const auto pcm = tone(0.5);
    const auto decoded = decodeAudioFile(write("walkie.wav", makeWalkieWav(pcm)));
    ASSERT_TRUE(decoded);
    ASSERT_EQ(decoded->size(), pcm.size());
    EXPECT_EQ(0, std::memcmp(decoded->data(), pcm.data(), pcm.size()));
}

TEST_F(AudioFileDecoder, OtherRatesAndChannelsBecomeWireAudio) {
    // One second of 44.1 kHz stereo.
    std::vector<std::int16_t> stereo(44100 * 2, 1000);
    const auto decoded =
        decodeAudioFile(write("voice.wav", makeWav(AudioFormat{44100, 2}, stereo)));
    ASSERT_TRUE(decoded);
    EXPECT_NEAR(static_cast<double>(decoded->size()), 32000.0, 64.0);
}

TEST_F(AudioFileDecoder, BrokenOrOversizedFilesGiveNothing) {
    const auto wav = makeWalkieWav(tone(2.0));
    // Cut inside the header.
    EXPECT_FALSE(decodeAudioFile(write("cut.wav", std::span(wav).first(30))));
    // Random bytes.
    std::mt19937 random(7);
    std::vector<std::byte> noise(50'000);
    for (auto& b : noise) b = std::byte(random() & 0xFF);
    EXPECT_FALSE(decodeAudioFile(write("noise.m4a", noise)));
    EXPECT_FALSE(decodeAudioFile(write("empty.wav", {})));
    EXPECT_FALSE(decodeAudioFile(dir.path().toStdString() + "/missing.wav"));
    // Longer than allowed is refused, not cut; so is a file over the size.
    EXPECT_FALSE(decodeAudioFile(write("long.wav", wav), {20'000'000, 32'000}));
    EXPECT_FALSE(decodeAudioFile(write("big.wav", wav), {1000, 300 * 32'000}));
    // A file cut inside its audio plays what is there.
    const auto part = decodeAudioFile(write("part.wav", std::span(wav).first(44 + 16'000)));
    ASSERT_TRUE(part);
    EXPECT_EQ(part->size(), 16'000u);
}

TEST_F(AudioFileDecoder, RecordingsInAacDecodeFromFilesAndFromMemory) {
    const auto pcm = tone(1.0);
    for (const char* name : {"voice.m4a", "voice.aac"}) {
        const auto file = writeAac(name, pcm);
        ASSERT_FALSE(file.empty()) << name;
        const auto decoded = decodeAudioFile(file);
        ASSERT_TRUE(decoded) << name;
        // The encoder's delay and padding make the length inexact.
        EXPECT_NEAR(static_cast<double>(decoded->size()), pcm.size(), 4096.0) << name;
        EXPECT_TRUE(decodeAudioBytes(contents(file)) == decoded) << name;
    }
    const auto wav = makeWalkieWav(pcm);
    EXPECT_TRUE(decodeAudioBytes(wav) == std::vector(wav.begin() + 44, wav.end()));
    EXPECT_FALSE(decodeAudioBytes({}));
    EXPECT_FALSE(decodeAudioBytes(wav, {wav.size() - 1, 300 * 32'000}));
}

// Each ADTS frame names its own channels: a stream may change them midway.
TEST_F(AudioFileDecoder, AChangeOfChannelsMidStreamKeepsDecoding) {
    const auto pcm = tone(0.5);
    auto bytes = contents(writeAac("stereo.aac", pcm, 2));
    const auto mono = contents(writeAac("mono.aac", pcm));
    ASSERT_FALSE(bytes.empty());
    ASSERT_FALSE(mono.empty());
    bytes.insert(bytes.end(), mono.begin(), mono.end());
    const auto decoded = decodeAudioFile(write("both.aac", bytes));
    ASSERT_TRUE(decoded);
    EXPECT_NEAR(static_cast<double>(decoded->size()), 2.0 * pcm.size(), 8192.0);
}

// A playlist naming a recording elsewhere on this machine: playing a received
// file must never read another one in its place.
TEST_F(AudioFileDecoder, APlaylistNamingALocalFileIsRefused) {
    const auto other = writeAac("private.aac", tone(0.5));
    ASSERT_FALSE(other.empty());
    ASSERT_TRUE(decodeAudioFile(other));
    const std::string playlist = "#EXTM3U\n#EXT-X-TARGETDURATION:10\n#EXTINF:10.0,\n" +
                                 other.string() + "\n#EXT-X-ENDLIST\n";
    const auto bytes = std::as_bytes(std::span(playlist));
    for (const char* name : {"voice.m3u8", "voice.m4a", "voice"}) {
        EXPECT_FALSE(decodeAudioFile(write(name, bytes))) << name;
    }
    EXPECT_FALSE(decodeAudioBytes(bytes));
}

}  // namespace
}  // namespace merrowfax

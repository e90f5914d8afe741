#include "media/audio_file_decoder.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <system_error>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libswresample/swresample.h>
}

namespace merrowfax {
namespace {

constexpr int kRate = 16000;

struct FormatClose {
    void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
struct CodecFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct SwrFree {
    void operator()(SwrContext* s) const { swr_free(&s); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};

class Decoder {
public:
    Decoder(const AudioDecodeLimits& limits) : limits_(limits) {}

    std::optional<std::vector<std::byte>> run(const std::filesystem::path& file) {
        AVFormatContext* raw = nullptr;
        if (avformat_open_input(&raw, file.c_str(), nullptr, nullptr) < 0) return std::nullopt;
        format_.reset(raw);
        if (avformat_find_stream_info(format_.get(), nullptr) < 0) return std::nullopt;
        const AVCodec* codec = nullptr;
        stream_ = av_find_best_stream(format_.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
        if (stream_ < 0 || !codec) return std::nullopt;
        codec_.reset(avcodec_alloc_context3(codec));
        if (!codec_ ||
            avcodec_parameters_to_context(codec_.get(), format_->streams[stream_]->codecpar) < 0 ||
            avcodec_open2(codec_.get(), codec, nullptr) < 0) {
            return std::nullopt;
        }
        if (codec_->sample_rate <= 0 || codec_->ch_layout.nb_channels <= 0) return std::nullopt;
        AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
        SwrContext* swr = nullptr;
        if (swr_alloc_set_opts2(&swr, &mono, AV_SAMPLE_FMT_S16, kRate, &codec_->ch_layout,
                                codec_->sample_fmt, codec_->sample_rate, 0, nullptr) < 0) {
            return std::nullopt;
        }
        swr_.reset(swr);
        if (swr_init(swr_.get()) < 0) return std::nullopt;

        std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
        frame_.reset(av_frame_alloc());
        if (!packet || !frame_) return std::nullopt;
        while (av_read_frame(format_.get(), packet.get()) >= 0) {
            const bool ours = packet->stream_index == stream_;
            const bool sent = !ours || avcodec_send_packet(codec_.get(), packet.get()) >= 0;
            av_packet_unref(packet.get());
            // A damaged packet is skipped; what decodes still plays.
            if (ours && sent && !drain()) return std::nullopt;
        }
        avcodec_send_packet(codec_.get(), nullptr);
        if (!drain() || !convert(nullptr, 0)) return std::nullopt;
        if (out_.size() < 2) return std::nullopt;
        out_.resize(out_.size() & ~std::size_t{1});
        return std::move(out_);
    }

private:
    bool drain() {
        while (avcodec_receive_frame(codec_.get(), frame_.get()) >= 0) {
            const bool ok = convert(const_cast<const std::uint8_t**>(frame_->extended_data),
                                    frame_->nb_samples);
            av_frame_unref(frame_.get());
            if (!ok) return false;
        }
        return true;
    }

    bool convert(const std::uint8_t** in, int samples) {
        const int room = swr_get_out_samples(swr_.get(), samples);
        if (room < 0) return false;
        if (room == 0) return true;
        const std::size_t at = out_.size();
        const std::size_t grown = at + static_cast<std::size_t>(room) * 2;
        if (grown > limits_.maxOutputBytes + 4096) return false;
        out_.resize(grown);
        auto* dst = reinterpret_cast<std::uint8_t*>(out_.data() + at);
        const int made = swr_convert(swr_.get(), &dst, room, in, samples);
        if (made < 0) return false;
        out_.resize(at + static_cast<std::size_t>(made) * 2);
        return out_.size() <= limits_.maxOutputBytes;
    }

    AudioDecodeLimits limits_;
    std::unique_ptr<AVFormatContext, FormatClose> format_;
    std::unique_ptr<AVCodecContext, CodecFree> codec_;
    std::unique_ptr<SwrContext, SwrFree> swr_;
    std::unique_ptr<AVFrame, FrameFree> frame_;
    int stream_ = -1;
    std::vector<std::byte> out_;
};

}  // namespace

std::optional<std::vector<std::byte>> decodeAudioFile(const std::filesystem::path& file,
                                                      const AudioDecodeLimits& limits) {
    std::error_code error;
    const auto size = std::filesystem::file_size(file, error);
    if (error || size == 0 || size > limits.maxFileBytes) return std::nullopt;
    av_log_set_level(AV_LOG_QUIET);
    return Decoder(limits).run(file);
}

}  // namespace merrowfax

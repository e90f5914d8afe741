#include "media/audio_file_decoder.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
#include <libswresample/swresample.h>
}

namespace merrowfax {
namespace {

constexpr int kRate = 16000;

// Demuxers of the containers recordings come in, by FFmpeg's names ("mov" is
// the one demuxer of MP4, M4A and 3GP; "aac" reads ADTS). Probing alone would
// pick any demuxer, HLS and concat lists among them, which open the files a
// received playlist names.
constexpr const char* kFormats = "mov,mp4,m4a,3gp,wav,mp3,aac,aiff,caf";
// Nested opens, should an allowed demuxer make one, reach local files only.
constexpr const char* kProtocols = "file";

bool allowedCodec(AVCodecID id) {
    if (id == AV_CODEC_ID_AAC || id == AV_CODEC_ID_MP3 || id == AV_CODEC_ID_ALAC) return true;
    const AVCodecDescriptor* descriptor = avcodec_descriptor_get(id);
    return descriptor && std::string_view(descriptor->name).starts_with("pcm_");
}

// Every decoder of the allowed codecs ("aac,aac_fixed,mp3float,..."), as
// FFmpeg's codec_whitelist takes them: by decoder name, without wildcards.
const std::string& codecWhitelist() {
    static const std::string names = [] {
        std::string out;
        void* at = nullptr;
        while (const AVCodec* codec = av_codec_iterate(&at)) {
            if (!av_codec_is_decoder(codec) || !allowedCodec(codec->id)) continue;
            if (!out.empty()) out += ',';
            out += codec->name;
        }
        return out;
    }();
    return names;
}

struct DictionaryFree {
    void operator()(AVDictionary* d) const { av_dict_free(&d); }
};

std::unique_ptr<AVDictionary, DictionaryFree> openOptions() {
    AVDictionary* options = nullptr;
    av_dict_set(&options, "format_whitelist", kFormats, 0);
    av_dict_set(&options, "codec_whitelist", codecWhitelist().c_str(), 0);
    av_dict_set(&options, "protocol_whitelist", kProtocols, 0);
    return std::unique_ptr<AVDictionary, DictionaryFree>(options);
}

// Bytes in memory as FFmpeg's input.
struct Memory {
    std::span<const std::byte> bytes;
    std::size_t at = 0;

    static int read(void* opaque, std::uint8_t* buffer, int size) {
        auto* m = static_cast<Memory*>(opaque);
        const std::size_t n =
            std::min(static_cast<std::size_t>(std::max(size, 0)), m->bytes.size() - m->at);
        if (n == 0) return AVERROR_EOF;
        std::memcpy(buffer, m->bytes.data() + m->at, n);
        m->at += n;
        return static_cast<int>(n);
    }

    static std::int64_t seek(void* opaque, std::int64_t offset, int whence) {
        auto* m = static_cast<Memory*>(opaque);
        const auto size = static_cast<std::int64_t>(m->bytes.size());
        if (whence & AVSEEK_SIZE) return size;
        std::int64_t base = 0;
        switch (whence & ~AVSEEK_FORCE) {
            case SEEK_SET:
                break;
            case SEEK_CUR:
                base = static_cast<std::int64_t>(m->at);
                break;
            case SEEK_END:
                base = size;
                break;
            default:
                return AVERROR(EINVAL);
        }
        // Compared without adding: a demuxer may ask for any offset.
        if (offset < -base || offset > size - base) return AVERROR(EINVAL);
        m->at = static_cast<std::size_t>(base + offset);
        return base + offset;
    }
};

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
struct IoFree {
    void operator()(AVIOContext* io) const {
        av_freep(&io->buffer);
        avio_context_free(&io);
    }
};

class Decoder {
public:
    explicit Decoder(const AudioDecodeLimits& limits) : limits_(limits) {}
    ~Decoder() { av_channel_layout_uninit(&layout_); }
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    std::optional<std::vector<std::byte>> run(const std::filesystem::path& file) {
        return open(nullptr, file.c_str()) ? decode() : std::nullopt;
    }

    std::optional<std::vector<std::byte>> run(std::span<const std::byte> bytes) {
        memory_.bytes = bytes;
        constexpr int kBufferBytes = 4096;
        auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferBytes));
        if (!buffer) return std::nullopt;
        io_.reset(avio_alloc_context(buffer, kBufferBytes, 0, &memory_, &Memory::read, nullptr,
                                     &Memory::seek));
        if (!io_) {
            av_free(buffer);
            return std::nullopt;
        }
        AVFormatContext* raw = avformat_alloc_context();
        if (!raw) return std::nullopt;
        raw->pb = io_.get();
        return open(raw, "") ? decode() : std::nullopt;
    }

private:
    // Takes `raw` (a context with its own input, or null) whatever happens.
    bool open(AVFormatContext* raw, const char* url) {
        auto options = openOptions();
        AVDictionary* left = options.release();
        const int opened = avformat_open_input(&raw, url, nullptr, &left);
        options.reset(left);
        if (opened < 0) return false;
        format_.reset(raw);
        return true;
    }

    std::optional<std::vector<std::byte>> decode() {
        if (avformat_find_stream_info(format_.get(), nullptr) < 0) return std::nullopt;
        const AVCodec* codec = nullptr;
        stream_ = av_find_best_stream(format_.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
        if (stream_ < 0 || !codec || !allowedCodec(codec->id)) return std::nullopt;
        codec_.reset(avcodec_alloc_context3(codec));
        if (!codec_ ||
            avcodec_parameters_to_context(codec_.get(), format_->streams[stream_]->codecpar) < 0 ||
            avcodec_open2(codec_.get(), codec, nullptr) < 0) {
            return std::nullopt;
        }
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

    bool drain() {
        while (avcodec_receive_frame(codec_.get(), frame_.get()) >= 0) {
            const bool ok =
                follow(*frame_) && convert(const_cast<const std::uint8_t**>(frame_->extended_data),
                                           frame_->nb_samples);
            av_frame_unref(frame_.get());
            if (!ok) return false;
        }
        return true;
    }

    // Sets the resampler up for the frame's rate, layout and sample format.
    // These may change from one frame to the next (an ADTS stream names its
    // channels in every frame): a resampler reading a stale layout would read
    // planes the frame does not have.
    bool follow(const AVFrame& frame) {
        if (swr_ && frame.sample_rate == rate_ && frame.format == sampleFormat_ &&
            av_channel_layout_compare(&frame.ch_layout, &layout_) == 0) {
            return true;
        }
        // What the old resampler still holds plays first.
        if (!convert(nullptr, 0)) return false;
        swr_.reset();
        av_channel_layout_uninit(&layout_);
        if (frame.sample_rate <= 0 || frame.ch_layout.nb_channels <= 0 ||
            av_channel_layout_copy(&layout_, &frame.ch_layout) < 0) {
            return false;
        }
        rate_ = frame.sample_rate;
        sampleFormat_ = frame.format;
        AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
        SwrContext* swr = nullptr;
        if (swr_alloc_set_opts2(&swr, &mono, AV_SAMPLE_FMT_S16, kRate, &layout_,
                                static_cast<AVSampleFormat>(sampleFormat_), rate_, 0,
                                nullptr) < 0) {
            return false;
        }
        swr_.reset(swr);
        return swr_init(swr_.get()) >= 0;
    }

    bool convert(const std::uint8_t** in, int samples) {
        if (!swr_) return true;  // nothing decoded yet
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
    Memory memory_;
    // Outlives format_, which reads through it.
    std::unique_ptr<AVIOContext, IoFree> io_;
    std::unique_ptr<AVFormatContext, FormatClose> format_;
    std::unique_ptr<AVCodecContext, CodecFree> codec_;
    std::unique_ptr<SwrContext, SwrFree> swr_;
    // What swr_ was set up for.
    AVChannelLayout layout_{};
    int rate_ = 0;
    int sampleFormat_ = AV_SAMPLE_FMT_NONE;
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

std::optional<std::vector<std::byte>> decodeAudioBytes(std::span<const std::byte> bytes,
                                                       const AudioDecodeLimits& limits) {
    if (bytes.empty() || bytes.size() > limits.maxFileBytes) return std::nullopt;
    av_log_set_level(AV_LOG_QUIET);
    return Decoder(limits).run(bytes);
}

}  // namespace merrowfax

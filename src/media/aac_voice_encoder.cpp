#include "media/aac_voice_encoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
}

#include <algorithm>
#include <vector>

#include "platform/audio_format.h"

namespace merrowfax {
namespace {

class AacVoiceEncoder final : public VoiceEncoder {
public:
    AacVoiceEncoder() = default;
    AacVoiceEncoder(const AacVoiceEncoder&) = delete;
    AacVoiceEncoder& operator=(const AacVoiceEncoder&) = delete;

    ~AacVoiceEncoder() override {
        av_packet_free(&packet_);
        av_frame_free(&frame_);
        avcodec_free_context(&codec_);
        if (format_) {
            if (format_->pb) avio_closep(&format_->pb);
            avformat_free_context(format_);
        }
    }

    bool open(const std::filesystem::path& file) override {
        // The encoder's statistics on every close are noise on a terminal.
        if (av_log_get_level() > AV_LOG_ERROR) av_log_set_level(AV_LOG_ERROR);
        const AVCodec* aac = avcodec_find_encoder_by_name("aac");
        if (!aac) return false;
        if (avformat_alloc_output_context2(&format_, nullptr, "ipod", file.c_str()) < 0) {
            return false;
        }
        codec_ = avcodec_alloc_context3(aac);
        if (!codec_) return false;
        codec_->sample_fmt = AV_SAMPLE_FMT_FLTP;
        codec_->sample_rate = kWireAudioFormat.sampleRate;
        codec_->bit_rate = 32'000;
        codec_->time_base = AVRational{1, kWireAudioFormat.sampleRate};
        av_channel_layout_default(&codec_->ch_layout, 1);
        if (format_->oformat->flags & AVFMT_GLOBALHEADER) {
            codec_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        }
        if (avcodec_open2(codec_, aac, nullptr) < 0) return false;
        stream_ = avformat_new_stream(format_, nullptr);
        if (!stream_) return false;
        stream_->time_base = codec_->time_base;
        if (avcodec_parameters_from_context(stream_->codecpar, codec_) < 0) return false;
        if (avio_open(&format_->pb, file.c_str(), AVIO_FLAG_WRITE) < 0) return false;
        if (avformat_write_header(format_, nullptr) < 0) return false;
        headerWritten_ = true;
        frame_ = av_frame_alloc();
        packet_ = av_packet_alloc();
        if (!frame_ || !packet_) return false;
        frame_->format = codec_->sample_fmt;
        frame_->sample_rate = codec_->sample_rate;
        frame_->nb_samples = codec_->frame_size;
        if (av_channel_layout_copy(&frame_->ch_layout, &codec_->ch_layout) < 0) return false;
        if (av_frame_get_buffer(frame_, 0) < 0) return false;
        opened_ = true;
        return true;
    }

    void add(std::span<const std::int16_t> samples) override {
        if (!opened_) return;
        for (std::int16_t s : samples) pending_.push_back(static_cast<float>(s) / 32768.0F);
        const auto size = static_cast<std::size_t>(codec_->frame_size);
        std::size_t used = 0;
        while (!failed_ && pending_.size() - used >= size) {
            encodeFrame(std::span(pending_).subspan(used, size));
            used += size;
        }
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(used));
    }

    // Pads the last frame out, drains the encoder and completes the file.
    bool finish() override {
        if (!opened_) return false;
        if (!failed_ && !pending_.empty()) {
            std::vector<float> last(static_cast<std::size_t>(codec_->frame_size), 0.0F);
            std::copy(pending_.begin(), pending_.end(), last.begin());
            pending_.clear();
            encodeFrame(last);
        }
        if (!failed_) send(nullptr);
        const bool wrote = headerWritten_ && av_write_trailer(format_) >= 0;
        if (format_->pb) avio_closep(&format_->pb);
        return !failed_ && wrote && pts_ > 0;
    }

private:
    void encodeFrame(std::span<const float> samples) {
        if (av_frame_make_writable(frame_) < 0) {
            failed_ = true;
            return;
        }
        frame_->nb_samples = static_cast<int>(samples.size());
        std::copy(samples.begin(), samples.end(), reinterpret_cast<float*>(frame_->data[0]));
        frame_->pts = pts_;
        pts_ += frame_->nb_samples;
        send(frame_);
    }

    void send(const AVFrame* f) {
        if (avcodec_send_frame(codec_, f) < 0) {
            failed_ = true;
            return;
        }
        while (true) {
            const int got = avcodec_receive_packet(codec_, packet_);
            if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) return;
            if (got < 0) {
                failed_ = true;
                return;
            }
            av_packet_rescale_ts(packet_, codec_->time_base, stream_->time_base);
            packet_->stream_index = stream_->index;
            if (av_interleaved_write_frame(format_, packet_) < 0) failed_ = true;
        }
    }

    AVFormatContext* format_ = nullptr;
    AVCodecContext* codec_ = nullptr;
    AVStream* stream_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    bool opened_ = false;
    bool headerWritten_ = false;
    bool failed_ = false;
    std::int64_t pts_ = 0;
    std::vector<float> pending_;  // samples short of one encoder frame
};

}  // namespace

std::unique_ptr<VoiceEncoder> makeAacVoiceEncoder() {
    return std::make_unique<AacVoiceEncoder>();
}

}  // namespace merrowfax

#include "media/voice_recorder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
}

#include <algorithm>
#include <fstream>
#include <iterator>

#include "base/uuid.h"
#include "platform/timings.h"

namespace merrowfax {

// The AAC encoder and the MP4 file it writes; on the encoder thread only
// (made on the starting thread before that thread runs).
struct VoiceRecorder::Encoder {
    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    AVStream* stream = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    bool headerWritten = false;
    bool failed = false;
    std::int64_t pts = 0;
    std::vector<float> pending;  // samples short of one encoder frame

    ~Encoder() {
        av_packet_free(&packet);
        av_frame_free(&frame);
        avcodec_free_context(&codec);
        if (format) {
            if (format->pb) avio_closep(&format->pb);
            avformat_free_context(format);
        }
    }

    bool open(const std::filesystem::path& file) {
        // The encoder's statistics on every close are noise on a terminal.
        if (av_log_get_level() > AV_LOG_ERROR) av_log_set_level(AV_LOG_ERROR);
        const AVCodec* aac = avcodec_find_encoder_by_name("aac");
        if (!aac) return false;
        if (avformat_alloc_output_context2(&format, nullptr, "ipod", file.c_str()) < 0) {
            return false;
        }
        codec = avcodec_alloc_context3(aac);
        if (!codec) return false;
        codec->sample_fmt = AV_SAMPLE_FMT_FLTP;
        codec->sample_rate = kWireAudioFormat.sampleRate;
        codec->bit_rate = 32'000;
        codec->time_base = AVRational{1, kWireAudioFormat.sampleRate};
        av_channel_layout_default(&codec->ch_layout, 1);
        if (format->oformat->flags & AVFMT_GLOBALHEADER) {
            codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        }
        if (avcodec_open2(codec, aac, nullptr) < 0) return false;
        stream = avformat_new_stream(format, nullptr);
        if (!stream) return false;
        stream->time_base = codec->time_base;
        if (avcodec_parameters_from_context(stream->codecpar, codec) < 0) return false;
        if (avio_open(&format->pb, file.c_str(), AVIO_FLAG_WRITE) < 0) return false;
        if (avformat_write_header(format, nullptr) < 0) return false;
        headerWritten = true;
        frame = av_frame_alloc();
        packet = av_packet_alloc();
        if (!frame || !packet) return false;
        frame->format = codec->sample_fmt;
        frame->sample_rate = codec->sample_rate;
        frame->nb_samples = codec->frame_size;
        if (av_channel_layout_copy(&frame->ch_layout, &codec->ch_layout) < 0) return false;
        return av_frame_get_buffer(frame, 0) >= 0;
    }

    void add(const std::vector<std::int16_t>& samples) {
        for (std::int16_t s : samples) pending.push_back(static_cast<float>(s) / 32768.0F);
        const auto size = static_cast<std::size_t>(codec->frame_size);
        std::size_t used = 0;
        while (!failed && pending.size() - used >= size) {
            encodeFrame(std::span(pending).subspan(used, size));
            used += size;
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(used));
    }

    void encodeFrame(std::span<const float> samples) {
        if (av_frame_make_writable(frame) < 0) {
            failed = true;
            return;
        }
        frame->nb_samples = static_cast<int>(samples.size());
        std::copy(samples.begin(), samples.end(), reinterpret_cast<float*>(frame->data[0]));
        frame->pts = pts;
        pts += frame->nb_samples;
        send(frame);
    }

    void send(const AVFrame* f) {
        if (avcodec_send_frame(codec, f) < 0) {
            failed = true;
            return;
        }
        while (true) {
            const int got = avcodec_receive_packet(codec, packet);
            if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) return;
            if (got < 0) {
                failed = true;
                return;
            }
            av_packet_rescale_ts(packet, codec->time_base, stream->time_base);
            packet->stream_index = stream->index;
            if (av_interleaved_write_frame(format, packet) < 0) failed = true;
        }
    }

    // Pads the last frame out, drains the encoder and completes the file.
    bool finish() {
        if (!failed && !pending.empty()) {
            std::vector<float> last(static_cast<std::size_t>(codec->frame_size), 0.0F);
            std::copy(pending.begin(), pending.end(), last.begin());
            pending.clear();
            encodeFrame(last);
        }
        if (!failed) send(nullptr);
        const bool wrote = headerWritten && av_write_trailer(format) >= 0;
        if (format->pb) avio_closep(&format->pb);
        return !failed && wrote && pts > 0;
    }
};

namespace {

std::optional<wire::Bytes> readAndRemove(const std::filesystem::path& file) {
    std::optional<wire::Bytes> bytes;
    {
        std::ifstream in(file, std::ios::binary);
        if (in) {
            std::vector<char> raw((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
            if (in.good() || in.eof()) {
                bytes.emplace(raw.size());
                std::transform(raw.begin(), raw.end(), bytes->begin(),
                               [](char c) { return static_cast<std::byte>(c); });
            }
        }
    }
    std::error_code ignored;
    std::filesystem::remove(file, ignored);
    return bytes;
}

}  // namespace

VoiceRecorder::VoiceRecorder(std::unique_ptr<AudioSource> microphone, OnFinish onFinish,
                             QObject* parent)
    : QObject(parent), microphone_(std::move(microphone)), onFinish_(std::move(onFinish)) {
    limit_.setSingleShot(true);
    connect(&limit_, &QTimer::timeout, this, &VoiceRecorder::stop);
}

VoiceRecorder::~VoiceRecorder() {
    if (microphone_) microphone_->stop();
    {
        std::lock_guard lock(mutex_);
        ending_ = true;
    }
    wake_.notify_all();
    if (worker_.joinable()) worker_.join();
    if (!file_.empty()) {
        std::error_code ignored;
        std::filesystem::remove(file_, ignored);
    }
}

bool VoiceRecorder::start() {
    if (state_ != State::idle || !microphone_) return false;
    std::error_code error;
    const auto folder = std::filesystem::temp_directory_path(error);
    if (error) return false;
    file_ = folder / (Uuid::random().text() + ".m4a");
    encoder_ = std::make_unique<Encoder>();
    if (!encoder_->open(file_)) {
        encoder_.reset();
        std::filesystem::remove(file_, error);
        file_.clear();
        return false;
    }
    format_ = microphone_->format();
    const auto limit = timings().voiceLimit;
    maxSamples_ = static_cast<std::size_t>(kWireAudioFormat.sampleRate) *
                  static_cast<std::size_t>(limit.count()) / 1000;
    worker_ = std::thread([this] { encodeLoop(); });
    if (!microphone_->start([this](std::span<const std::int16_t> frames) { capture(frames); })) {
        {
            std::lock_guard lock(mutex_);
            ending_ = true;
        }
        wake_.notify_all();
        worker_.join();
        encoder_.reset();
        std::filesystem::remove(file_, error);
        file_.clear();
        microphone_.reset();
        return false;
    }
    state_ = State::recording;
    limit_.start(limit);
    return true;
}

void VoiceRecorder::stop() {
    if (state_ != State::recording) return;
    state_ = State::finishing;
    limit_.stop();
    // Once stop() returns the microphone delivers no more chunks.
    microphone_->stop();
    {
        std::lock_guard lock(mutex_);
        ending_ = true;
    }
    wake_.notify_all();
}

void VoiceRecorder::capture(std::span<const std::int16_t> frames) {
    std::vector<std::int16_t> wire = format_ == kWireAudioFormat
                                         ? std::vector<std::int16_t>(frames.begin(), frames.end())
                                         : converter_.convert(frames, format_);
    if (wire.empty()) wire = resampleToWire(frames, format_);
    {
        std::lock_guard lock(mutex_);
        if (ending_) return;
        const std::size_t room = std::min(maxSamples_ - std::min(maxSamples_, accepted_),
                                          kMaxQueuedSamples - queue_.size());
        const std::size_t take = std::min(room, wire.size());
        queue_.insert(queue_.end(), wire.begin(), wire.begin() + static_cast<std::ptrdiff_t>(take));
        accepted_ += take;
    }
    wake_.notify_one();
}

void VoiceRecorder::encodeLoop() {
    std::vector<std::int16_t> batch;
    while (true) {
        bool last = false;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return ending_ || !queue_.empty(); });
            batch.assign(queue_.begin(), queue_.end());
            queue_.clear();
            last = ending_;
        }
        if (!batch.empty()) encoder_->add(batch);
        if (last) break;
    }
    const bool complete = encoder_->finish();
    encoder_.reset();
    std::optional<wire::Bytes> bytes;
    if (complete) bytes = readAndRemove(file_);
    QMetaObject::invokeMethod(
        this, [this, result = std::move(bytes)]() mutable { delivered(std::move(result)); },
        Qt::QueuedConnection);
}

void VoiceRecorder::delivered(std::optional<wire::Bytes> bytes) {
    if (state_ == State::done) return;
    const bool started = state_ != State::idle;
    state_ = State::done;
    if (worker_.joinable()) worker_.join();
    std::error_code ignored;
    std::filesystem::remove(file_, ignored);
    file_.clear();
    if (started && onFinish_) onFinish_(std::move(bytes));
}

}  // namespace merrowfax

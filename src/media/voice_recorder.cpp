#include "media/voice_recorder.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "base/uuid.h"
#include "platform/timings.h"

namespace merrowfax {

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

VoiceRecorder::VoiceRecorder(std::unique_ptr<AudioSource> microphone,
                             std::unique_ptr<VoiceEncoder> encoder, OnFinish onFinish,
                             QObject* parent)
    : QObject(parent),
      microphone_(std::move(microphone)),
      onFinish_(std::move(onFinish)),
      encoder_(std::move(encoder)) {
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
    if (state_ != State::idle || !microphone_ || !encoder_) return false;
    std::error_code error;
    const auto folder = std::filesystem::temp_directory_path(error);
    if (error) return false;
    file_ = folder / (Uuid::random().text() + ".m4a");
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

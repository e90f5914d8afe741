#include "platform/file_microphone.h"

#include <algorithm>
#include <chrono>

#include "platform/wav_file.h"

namespace merrowfax {
namespace {

constexpr auto kChunk = std::chrono::milliseconds(20);
// Further behind than this, the clock is reset rather than caught up.
constexpr auto kMaxLag = std::chrono::milliseconds(200);

}  // namespace

FileMicrophone::FileMicrophone(AudioFormat format, std::vector<std::int16_t> clip)
    : format_(format), clip_(std::move(clip)) {}

FileMicrophone::~FileMicrophone() {
    stop();
}

std::unique_ptr<FileMicrophone> FileMicrophone::fromWav(const std::filesystem::path& file) {
    auto audio = readWav(file);
    if (!audio) return nullptr;
    return std::make_unique<FileMicrophone>(audio->format, std::move(audio->samples));
}

bool FileMicrophone::start(OnChunk onChunk) {
    stop();
    stopping_ = false;
    thread_ = std::thread([this, onChunk = std::move(onChunk)] { run(onChunk); });
    return true;
}

void FileMicrophone::stop() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void FileMicrophone::run(OnChunk onChunk) {
    using Clock = std::chrono::steady_clock;
    const auto frames = std::max<std::size_t>(
        1, static_cast<std::size_t>(format_.sampleRate) * kChunk.count() / 1000);
    std::vector<std::int16_t> chunk(frames * static_cast<std::size_t>(format_.channels));
    std::size_t position = 0;
    auto next = Clock::now();
    for (;;) {
        next += kChunk;
        {
            std::unique_lock lock(mutex_);
            if (wake_.wait_until(lock, next, [this] { return stopping_; })) return;
        }
        if (Clock::now() - next > kMaxLag) next = Clock::now();
        if (clip_.empty()) {
            std::fill(chunk.begin(), chunk.end(), 0);
        } else {
            for (auto& sample : chunk) {
                sample = clip_[position];
                position = (position + 1) % clip_.size();
            }
        }
        if (onChunk) onChunk(chunk);
    }
}

}  // namespace merrowfax

#include "media/paced_player.h"

#include <algorithm>
#include <vector>

#include "platform/jitter_buffer.h"

namespace merrowfax {
namespace {

// A sound-server speaker holds what it is fed in a jitter buffer, which
// trims audio that stays above its target by more than its margin: a
// steady lead within that is playout delay, never excess.
static_assert(PacedPlayer::kLead <= JitterBuffer::kStartDelay + JitterBuffer::kTrimMargin);

// The player wakes this often to feed the speaker.
constexpr std::chrono::milliseconds kTick{10};

std::chrono::nanoseconds durationOf(std::size_t samples) {
    return std::chrono::nanoseconds(static_cast<long long>(samples) * 1'000'000'000LL /
                                    kWireAudioFormat.sampleRate);
}

}  // namespace

PacedPlayer::PacedPlayer(AudioSink& sink)
    : sink_(sink), toSpeaker_(sink.format()), thread_([this] { run(); }) {}

PacedPlayer::~PacedPlayer() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void PacedPlayer::play(std::span<const std::int16_t> wire, std::function<void()> onStart) {
    {
        std::lock_guard lock(mutex_);
        if (onStart && !wire.empty())
            cues_.push_back({consumed_ + backlog_.size(), std::move(onStart)});
        backlog_.insert(backlog_.end(), wire.begin(), wire.end());
        if (backlog_.size() > kMaxBacklog) {
            const std::size_t excess = backlog_.size() - kMaxBacklog;
            backlog_.erase(backlog_.begin(),
                           backlog_.begin() + static_cast<std::ptrdiff_t>(excess));
            consumed_ += excess;
            while (!cues_.empty() && cues_.front().at < consumed_) cues_.pop_front();
        }
    }
    wake_.notify_all();
}

void PacedPlayer::clear() {
    std::lock_guard lock(mutex_);
    consumed_ += backlog_.size();
    backlog_.clear();
    cues_.clear();
}

std::size_t PacedPlayer::backlog() const {
    std::lock_guard lock(mutex_);
    return backlog_.size() + handing_;
}

void PacedPlayer::run() {
    // When the audio handed to the speaker so far ends.
    Clock::time_point playedUntil = Clock::now();
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        wake_.wait(lock, [this] { return stopping_ || !backlog_.empty(); });
        if (stopping_) break;
        const Clock::time_point now = Clock::now();
        playedUntil = std::max(playedUntil, now);  // after a gap the speaker is empty
        const auto room = now + kLead - playedUntil;
        const auto due = static_cast<std::size_t>(std::max<long long>(
            0, std::chrono::duration_cast<std::chrono::nanoseconds>(room).count() *
                   kWireAudioFormat.sampleRate / 1'000'000'000LL));
        const std::size_t count = std::min(due, backlog_.size());
        if (count > 0) {
            std::vector<std::int16_t> piece(backlog_.begin(),
                                            backlog_.begin() + static_cast<std::ptrdiff_t>(count));
            backlog_.erase(backlog_.begin(), backlog_.begin() + static_cast<std::ptrdiff_t>(count));
            consumed_ += count;
            std::vector<std::function<void()>> starting;
            while (!cues_.empty() && cues_.front().at < consumed_) {
                starting.push_back(std::move(cues_.front().run));
                cues_.pop_front();
            }
            playedUntil += durationOf(count);
            handing_ = count;
            lock.unlock();
            const std::vector<std::int16_t> converted = toSpeaker_.convert(piece);
            for (const auto& run : starting) run();
            sink_.play(converted);
            lock.lock();
            handing_ = 0;
        }
        wake_.wait_for(lock, kTick, [this] { return stopping_; });
    }
}

}  // namespace merrowfax

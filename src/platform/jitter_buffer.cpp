#include "platform/jitter_buffer.h"

#include <algorithm>
#include <functional>
#include <limits>
#include <string_view>

namespace merrowfax {
namespace {

using Clock = JitterBuffer::Clock;

Clock::duration durationOf(std::uint64_t samples) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(
        samples * 1'000'000'000ULL / static_cast<std::uint64_t>(kWireAudioFormat.sampleRate)));
}

// The target that rides out a chunk `late`: its lateness plus half a chunk
// for the puller's own granularity, in whole chunks.
std::size_t targetFor(Clock::duration late) {
    const Clock::duration needed = late + JitterBuffer::kChunk / 2;
    const auto chunks = std::clamp<long long>(
        (needed + JitterBuffer::kChunk - Clock::duration(1)) / JitterBuffer::kChunk, 1,
        JitterBuffer::kMaxDelay / JitterBuffer::kChunk);
    return static_cast<std::size_t>(chunks) * JitterBuffer::samplesIn(JitterBuffer::kChunk);
}

}  // namespace

JitterBuffer::JitterBuffer() : ring_(samplesIn(kMaxBuffered)) {}

void JitterBuffer::push(std::span<const std::int16_t> chunk, Clock::time_point now) {
    if (chunk.empty()) return;
    // The standard hash of the bytes stands in for them when looking for
    // copies.
    const std::uint64_t hash = std::hash<std::string_view>{}(
        std::string_view(reinterpret_cast<const char*>(chunk.data()), chunk.size_bytes()));
    const bool silent =
        std::all_of(chunk.begin(), chunk.end(), [](std::int16_t sample) { return sample == 0; });

    std::lock_guard lock(mutex_);
    const bool inBurst = scheduled_ && now - lastArrival_ < kBurstGap;
    if (!scheduled_ || now - (onTime_ + durationOf(received_)) > kResyncAfter) {
        restartSchedule(now);
    }
    Clock::duration late = now - (onTime_ + durationOf(received_));
    // Calls never send digital silence; pauses made on this side repeat by
    // nature and are never copies.
    if (!silent) {
        if (isCopy(hash, late)) {
            stats_.dropped += chunk.size();
            return;
        }
        remember(hash);
    }
    lastArrival_ = now;
    received_ += chunk.size();
    if (late > Clock::duration::zero()) {
        noteLateness(late, now);
    } else if (!inBurst) {
        onTime_ += late;
        noteLateness(Clock::duration::zero(), now);
    }
    store(chunk);
}

void JitterBuffer::pull(std::span<std::int16_t> out, Clock::time_point now) {
    std::lock_guard lock(mutex_);
    // The target is what stays buffered once this pull has its share: the
    // device's own granularity comes on top of the network's. A full buffer
    // plays whatever the pull.
    if (!playing_ && size_ > 0 && size_ >= std::min(target_ + out.size(), ring_.size())) {
        playing_ = true;
        trimStart_ = now;
        lowWater_ = std::numeric_limits<std::size_t>::max();
    }
    std::size_t taken = 0;
    if (playing_) {
        taken = std::min(out.size(), size_);
        const std::size_t first = std::min(taken, ring_.size() - head_);
        std::copy_n(ring_.begin() + static_cast<std::ptrdiff_t>(head_), first, out.begin());
        std::copy_n(ring_.begin(), taken - first, out.begin() + static_cast<std::ptrdiff_t>(first));
        head_ = (head_ + taken) % ring_.size();
        size_ -= taken;
        stats_.pulled += taken;
        if (taken < out.size()) {
            // Ran dry: silence until the target is buffered again, so what
            // plays next is new audio with its delay restored.
            ++stats_.underruns;
            playing_ = false;
        } else {
            lowWater_ = std::min(lowWater_, size_);
            if (now - trimStart_ >= kTrimAfter) {
                if (lowWater_ > target_ + samplesIn(kTrimMargin)) dropOldest(lowWater_ - target_);
                trimStart_ = now;
                lowWater_ = std::numeric_limits<std::size_t>::max();
            }
        }
    }
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(taken), out.end(), std::int16_t{0});
    stats_.silence += out.size() - taken;
}

void JitterBuffer::reset() {
    std::lock_guard lock(mutex_);
    head_ = size_ = 0;
    playing_ = false;
    target_ = samplesIn(kStartDelay);
    scheduled_ = false;
    received_ = 0;
    recentCount_ = recentNext_ = 0;
    stats_ = {};
}

JitterBuffer::Stats JitterBuffer::stats() const {
    std::lock_guard lock(mutex_);
    return stats_;
}

JitterBuffer::ms JitterBuffer::target() const {
    std::lock_guard lock(mutex_);
    return ms(static_cast<long long>(target_ * 1000 / kWireAudioFormat.sampleRate));
}

std::size_t JitterBuffer::buffered() const {
    std::lock_guard lock(mutex_);
    return size_;
}

void JitterBuffer::restartSchedule(Clock::time_point now) {
    scheduled_ = true;
    onTime_ = now;
    received_ = 0;
    startSteadyPeriod(now);
}

void JitterBuffer::startSteadyPeriod(Clock::time_point now) {
    periodStart_ = now;
    latest_ = Clock::duration::zero();
    earliest_ = Clock::duration::max();
}

void JitterBuffer::noteLateness(Clock::duration late, Clock::time_point now) {
    latest_ = std::max(latest_, late);
    earliest_ = std::min(earliest_, late);
    const std::size_t needed = targetFor(late);
    if (needed > target_) {
        target_ = needed;
        startSteadyPeriod(now);
        return;
    }
    if (now - periodStart_ < kSteadyPeriod) return;
    if (targetFor(latest_) < target_) target_ -= samplesIn(kChunk);
    onTime_ += earliest_;
    startSteadyPeriod(now);
}

std::uint64_t JitterBuffer::recentAt(std::size_t back) const {
    return recent_[(recentNext_ + kDuplicateHistory - 1 - back) % kDuplicateHistory];
}

bool JitterBuffer::isCopy(std::uint64_t hash, Clock::duration late) const {
    for (std::size_t back = 0; back < recentCount_; ++back) {
        if (recentAt(back) != hash) continue;
        // A stream that repeats itself (a steady tone whose period divides
        // the chunk) carries identical chunks of new audio: those are new
        // when they are due, while a copy adds no time and comes early.
        const bool repeating = back + 1 >= recentCount_ || recentAt(back + 1) == recentAt(0);
        return !repeating || late < -kChunk / 2;
    }
    return false;
}

void JitterBuffer::remember(std::uint64_t hash) {
    recent_[recentNext_] = hash;
    recentNext_ = (recentNext_ + 1) % kDuplicateHistory;
    recentCount_ = std::min(recentCount_ + 1, kDuplicateHistory);
}

void JitterBuffer::store(std::span<const std::int16_t> samples) {
    const std::size_t capacity = ring_.size();
    if (samples.size() > capacity) {
        stats_.dropped += samples.size() - capacity;
        samples = samples.last(capacity);
    }
    if (size_ + samples.size() > capacity) dropOldest(size_ + samples.size() - capacity);
    const std::size_t tail = (head_ + size_) % capacity;
    const std::size_t first = std::min(samples.size(), capacity - tail);
    std::copy_n(samples.begin(), first, ring_.begin() + static_cast<std::ptrdiff_t>(tail));
    std::copy(samples.begin() + static_cast<std::ptrdiff_t>(first), samples.end(), ring_.begin());
    size_ += samples.size();
}

void JitterBuffer::dropOldest(std::size_t count) {
    head_ = (head_ + count) % ring_.size();
    size_ -= count;
    stats_.dropped += count;
}

}  // namespace merrowfax

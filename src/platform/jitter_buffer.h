#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

#include "platform/audio_format.h"

namespace merrowfax {

// Received wire audio between the network and the sound server, which pulls
// it at the device's pace. Wire chunks carry no sequence numbers or times,
// so the buffer judges the network by when chunks arrive: playout holds
// back a target delay that grows when chunks come late and shrinks again
// when they have come steadily for a while.
//
// Lateness of a chunk: how far its arrival lags the steady schedule implied
// by the samples received so far, counted from the earliest arrival seen
// (an early chunk moves that line earlier, unless it came in a burst right
// behind another, where it only shows that the one before was late; each
// steady period the line moves to the period's earliest arrival, so a
// sender's slow clock or a lost chunk does not look later and later). A
// chunk later than kResyncAfter starts a new schedule instead: the sender
// paused (muted, or silence not sent).
//
// A chunk identical to one of the last few is a copy that came by a second
// path and is dropped, unless it continues a stream that repeats itself (a
// steady tone) and is not early.
//
// push() from any thread, pull() from the sound server's; one short lock,
// and pull() never allocates.
class JitterBuffer {
public:
    using Clock = std::chrono::steady_clock;
    using ms = std::chrono::milliseconds;

    static constexpr ms kChunk{20};                         // one wire chunk
    static constexpr ms kStartDelay = kChunk;               // the target at the start
    static constexpr ms kMaxDelay{120};                     // the target never grows beyond
    static constexpr ms kMaxBuffered = kMaxDelay + kChunk;  // more: the oldest audio goes
    static constexpr ms kSteadyPeriod{2'000};               // steady this long: one chunk less
    static constexpr ms kTrimAfter{1'000};                  // audio above the target for this...
    static constexpr ms kTrimMargin{40};                    // ...by more than this is trimmed
    static constexpr ms kBurstGap{5};                    // closer behind the last: the same burst
    static constexpr ms kResyncAfter{500};               // later than this: a new schedule
    static constexpr std::size_t kDuplicateHistory = 8;  // chunks a copy is looked for in

    static constexpr std::size_t samplesIn(ms duration) {
        return static_cast<std::size_t>(duration.count()) * kWireAudioFormat.sampleRate / 1000;
    }

    struct Stats {
        std::size_t underruns = 0;  // playing audio ran out
        std::size_t pulled = 0;     // audio samples handed out
        std::size_t silence = 0;    // silent samples handed out instead
        std::size_t dropped = 0;    // copies, overflow and trimmed excess
    };

    JitterBuffer();

    void push(std::span<const std::int16_t> chunk, Clock::time_point now);
    // Fills `out` entirely: audio while playing, silence while buffering.
    // Playing starts (again) once the target is left after taking `out`.
    void pull(std::span<std::int16_t> out, Clock::time_point now);
    // Empty, the start target, no schedule, counters at zero.
    void reset();

    Stats stats() const;
    std::size_t underruns() const { return stats().underruns; }
    ms target() const;
    std::size_t buffered() const;

private:
    void restartSchedule(Clock::time_point now);
    void startSteadyPeriod(Clock::time_point now);
    void noteLateness(Clock::duration late, Clock::time_point now);
    bool isCopy(std::uint64_t hash, Clock::duration late) const;
    std::uint64_t recentAt(std::size_t back) const;
    void remember(std::uint64_t hash);
    void store(std::span<const std::int16_t> samples);
    void dropOldest(std::size_t count);

    mutable std::mutex mutex_;
    std::vector<std::int16_t> ring_;  // kMaxBuffered, made once
    std::size_t head_ = 0;            // the oldest sample
    std::size_t size_ = 0;
    bool playing_ = false;
    std::size_t target_ = samplesIn(kStartDelay);

    // The arrival schedule.
    bool scheduled_ = false;
    Clock::time_point onTime_;    // when the first sample received was due
    std::uint64_t received_ = 0;  // samples taken since onTime_
    Clock::time_point lastArrival_;
    Clock::time_point periodStart_;
    Clock::duration latest_{};    // the period's largest lateness
    Clock::duration earliest_{};  // and smallest

    // The lowest level since trimStart_, after each pull.
    Clock::time_point trimStart_;
    std::size_t lowWater_ = 0;

    std::array<std::uint64_t, kDuplicateHistory> recent_{};  // hashes, newest at recentNext_ - 1
    std::size_t recentCount_ = 0;
    std::size_t recentNext_ = 0;

    Stats stats_;
};

}  // namespace merrowfax

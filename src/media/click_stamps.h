#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <span>

#include "platform/jitter_buffer.h"

namespace merrowfax {

// Latency instrumentation for bench/call_latency and bench/walkie_latency,
// off unless MERROWFAX_CLICK_LOG names a file: the steady-clock time
// (nanoseconds) of every click onset the call microphone captured and every
// one the call speaker took to play is appended to it as "capture NS" or
// "play NS", and every time the call speaker ran out of audio while playing
// as "underrun NS". A click onset is a sample of at least a quarter of full
// scale 50 ms or more after the last such sample (by the clock: silence is
// never sent, so the gaps between clicks are missing from what arrives).
//
// The walkie stamps moments instead of sounds, since what it plays first is
// its own static: see WalkieMoment.
class ClickStamps {
public:
    enum class WalkieMoment {
        Press,        // "walkie-press": the talk button went down
        FirstSent,    // "walkie-sent": the first captured chunk of a press goes out
        FirstQueued,  // "walkie-queued": the first chunk of a heard talk is queued to play
        FirstPlayed,  // "walkie-played": its first sample is handed to the speaker
    };

    // Nothing when the variable is not set or the file does not open.
    static std::unique_ptr<ClickStamps> fromEnvironment();
    ~ClickStamps();

    // Wire samples whose last one was captured just now.
    void captured(std::span<const std::int16_t> wire);
    // Wire samples whose first one the speaker takes to play just now.
    void played(std::span<const std::int16_t> wire);
    // The call speaker ran out of audio just now; from any thread.
    void underrun();
    // What the call speaker's jitter buffer did while it played, as
    // "playout PULLED SILENCE DROPPED UNDERRUNS" (samples, and a count).
    void playout(const JitterBuffer::Stats& stats);
    // The walkie reached `moment` just now; from any thread.
    void walkie(WalkieMoment moment);

private:
    struct Onsets {
        std::int64_t lastLoud = 0;  // steady-clock ns
        // The time of the first onset in `wire`, whose first sample is at
        // `start`; 0 when there is none.
        std::int64_t find(std::span<const std::int16_t> wire, std::int64_t start);
    };
    explicit ClickStamps(std::FILE* file) : file_(file) {}
    void write(const char* what, std::int64_t nanoseconds);

    std::FILE* file_;
    std::mutex mutex_;
    Onsets capturedOnsets_;
    Onsets playedOnsets_;
};

}  // namespace merrowfax

#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <span>

namespace merrowfax {

// Latency instrumentation for bench/call_latency, off unless
// MERROWFAX_CLICK_LOG names a file: the steady-clock time (nanoseconds) of
// every click onset the microphone captured and every one handed to the
// speaker is appended to it as "capture NS" or "play NS". A click onset is a
// sample of at least a quarter of full scale after 50 ms below it.
class ClickStamps {
public:
    // Nothing when the variable is not set or the file does not open.
    static std::unique_ptr<ClickStamps> fromEnvironment();
    ~ClickStamps();

    // Wire samples whose last one was captured just now.
    void captured(std::span<const std::int16_t> wire);
    // Wire samples whose first one is handed to the speaker just now.
    void played(std::span<const std::int16_t> wire);

private:
    struct Onsets {
        std::int64_t quiet = 0;  // samples since the last loud one
        // Index of the first onset in `wire`, or -1.
        std::ptrdiff_t find(std::span<const std::int16_t> wire);
    };
    explicit ClickStamps(std::FILE* file) : file_(file) {}
    void write(const char* what, std::int64_t nanoseconds);

    std::FILE* file_;
    std::mutex mutex_;
    Onsets capturedOnsets_;
    Onsets playedOnsets_;
};

}  // namespace merrowfax

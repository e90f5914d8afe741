#pragma once

#include <chrono>
#include <cstdint>

// One steady clock for every stamp and reading: sender and receiver live in
// the same process, so a latency is a plain difference of two readings.
namespace merrowfax::bench {

constexpr std::uint64_t kSecond = 1'000'000'000;

inline std::uint64_t nowNs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

// Wall-clock seconds, for the "sent" field of text records.
inline double unixNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

inline double ms(std::uint64_t ns) {
    return static_cast<double>(ns) / 1e6;
}

}  // namespace merrowfax::bench

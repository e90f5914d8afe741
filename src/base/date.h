#pragma once

#include <chrono>

namespace merrowfax {

// A moment as seconds since 2001-01-01T00:00:00Z (the reference date), with
// fraction. This is how every date is stored and sent.
using Date = double;

// Seconds between the Unix epoch and the reference date.
inline constexpr double kReferenceDateUnixSeconds = 978307200.0;

inline Date dateFromSystemClock(std::chrono::system_clock::time_point t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count() - kReferenceDateUnixSeconds;
}

inline Date now() {
    return dateFromSystemClock(std::chrono::system_clock::now());
}

inline double unixSeconds(Date d) {
    return d + kReferenceDateUnixSeconds;
}

}  // namespace merrowfax

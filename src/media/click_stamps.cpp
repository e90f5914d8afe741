#include "media/click_stamps.h"

#include <chrono>
#include <cstdlib>

namespace merrowfax {
namespace {

constexpr int kLoud = 8192;
constexpr std::int64_t kQuietBeforeNs = 50'000'000;
constexpr std::int64_t kNsPerSample = 1'000'000'000 / 16000;

std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

std::unique_ptr<ClickStamps> ClickStamps::fromEnvironment() {
    const char* path = std::getenv("MERROWFAX_CLICK_LOG");
    if (!path || !*path) return nullptr;
    std::FILE* file = std::fopen(path, "a");
    if (!file) return nullptr;
    return std::unique_ptr<ClickStamps>(new ClickStamps(file));
}

ClickStamps::~ClickStamps() {
    std::fclose(file_);
}

std::int64_t ClickStamps::Onsets::find(std::span<const std::int16_t> wire, std::int64_t start) {
    std::int64_t found = 0;
    for (std::size_t i = 0; i < wire.size(); ++i) {
        if (std::abs(static_cast<int>(wire[i])) < kLoud) continue;
        const std::int64_t at = start + static_cast<std::int64_t>(i) * kNsPerSample;
        if (found == 0 && at - lastLoud >= kQuietBeforeNs) found = at;
        lastLoud = at;
    }
    return found;
}

void ClickStamps::captured(std::span<const std::int16_t> wire) {
    // The last sample was captured just now.
    const std::int64_t start = nowNs() - static_cast<std::int64_t>(wire.size()) * kNsPerSample;
    std::lock_guard lock(mutex_);
    if (const std::int64_t at = capturedOnsets_.find(wire, start)) write("capture", at);
}

void ClickStamps::played(std::span<const std::int16_t> wire) {
    const std::int64_t start = nowNs();
    std::lock_guard lock(mutex_);
    if (const std::int64_t at = playedOnsets_.find(wire, start)) write("play", at);
}

void ClickStamps::underrun() {
    const std::int64_t at = nowNs();
    std::lock_guard lock(mutex_);
    write("underrun", at);
}

void ClickStamps::playout(const JitterBuffer::Stats& stats) {
    std::lock_guard lock(mutex_);
    std::fprintf(file_, "playout %zu %zu %zu %zu\n", stats.pulled, stats.silence, stats.dropped,
                 stats.underruns);
    std::fflush(file_);
}

void ClickStamps::walkie(WalkieMoment moment) {
    const std::int64_t at = nowNs();
    const char* what = "walkie-press";
    switch (moment) {
        case WalkieMoment::Press:
            break;
        case WalkieMoment::FirstSent:
            what = "walkie-sent";
            break;
        case WalkieMoment::FirstQueued:
            what = "walkie-queued";
            break;
        case WalkieMoment::FirstPlayed:
            what = "walkie-played";
            break;
    }
    std::lock_guard lock(mutex_);
    write(what, at);
}

void ClickStamps::write(const char* what, std::int64_t nanoseconds) {
    std::fprintf(file_, "%s %lld\n", what, static_cast<long long>(nanoseconds));
    std::fflush(file_);
}

}  // namespace merrowfax

#include "media/click_stamps.h"

#include <chrono>
#include <cstdlib>

namespace merrowfax {
namespace {

constexpr int kLoud = 8192;
constexpr std::int64_t kQuietBefore = 800;  // 50 ms of wire audio
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

std::ptrdiff_t ClickStamps::Onsets::find(std::span<const std::int16_t> wire) {
    std::ptrdiff_t found = -1;
    for (std::size_t i = 0; i < wire.size(); ++i) {
        if (std::abs(static_cast<int>(wire[i])) < kLoud) {
            ++quiet;
            continue;
        }
        if (quiet >= kQuietBefore && found < 0) found = static_cast<std::ptrdiff_t>(i);
        quiet = 0;
    }
    return found;
}

void ClickStamps::captured(std::span<const std::int16_t> wire) {
    const std::int64_t now = nowNs();
    std::lock_guard lock(mutex_);
    const std::ptrdiff_t at = capturedOnsets_.find(wire);
    if (at < 0) return;
    const auto after = static_cast<std::int64_t>(wire.size()) - 1 - at;
    write("capture", now - after * kNsPerSample);
}

void ClickStamps::played(std::span<const std::int16_t> wire) {
    const std::int64_t now = nowNs();
    std::lock_guard lock(mutex_);
    const std::ptrdiff_t at = playedOnsets_.find(wire);
    if (at < 0) return;
    write("play", now + at * kNsPerSample);
}

void ClickStamps::write(const char* what, std::int64_t nanoseconds) {
    std::fprintf(file_, "%s %lld\n", what, static_cast<long long>(nanoseconds));
    std::fflush(file_);
}

}  // namespace merrowfax

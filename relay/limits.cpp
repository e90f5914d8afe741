#include "relay/limits.h"

#include <algorithm>

namespace merrowfax::relay {

std::int64_t unixMillis() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

bool TokenBucket::take(Clock::time_point now) {
    const std::chrono::duration<double> elapsed = now - last_;
    last_ = now;
    tokens_ = std::min(burst_, tokens_ + elapsed.count() * rate_);
    if (tokens_ < 1.0) return false;
    tokens_ -= 1.0;
    return true;
}

bool AddressRates::take(const std::string& address) {
    std::lock_guard guard(lock_);
    const auto now = Clock::now();
    if (buckets_.size() >= sweepAt_) {
        // A bucket unused long enough to refill completely holds nothing worth keeping.
        const auto full = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(burst_ / rate_));
        std::erase_if(buckets_, [&](const auto& entry) { return now - entry.second.used > full; });
        sweepAt_ = std::max<std::size_t>(1024, buckets_.size() * 2);
    }
    auto it = buckets_.try_emplace(address, Entry{TokenBucket(rate_, burst_), now}).first;
    it->second.used = now;
    return it->second.bucket.take(now);
}

bool AddressCount::enter(const std::string& address) {
    std::lock_guard guard(lock_);
    auto& count = open_[address];
    if (count >= limit_) {
        if (count == 0) open_.erase(address);
        return false;
    }
    ++count;
    return true;
}

void AddressCount::leave(const std::string& address) {
    std::lock_guard guard(lock_);
    const auto it = open_.find(address);
    if (it == open_.end()) return;
    if (--it->second == 0) open_.erase(it);
}

}  // namespace merrowfax::relay

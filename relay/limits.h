#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

namespace merrowfax::relay {

using Clock = std::chrono::steady_clock;

// Milliseconds since the Unix epoch, as the store keeps times.
std::int64_t unixMillis();

// Classic token bucket; not thread-safe (each owner keeps it on its strand
// or under its own lock).
class TokenBucket {
public:
    TokenBucket(double perSecond, double burst)
        : rate_(perSecond), burst_(burst), tokens_(burst), last_(Clock::now()) {}

    bool take(Clock::time_point now = Clock::now());

private:
    double rate_;
    double burst_;
    double tokens_;
    Clock::time_point last_;
};

// One token bucket per client address, swept of full buckets as it grows.
class AddressRates {
public:
    AddressRates(double perSecond, double burst) : rate_(perSecond), burst_(burst) {}
    bool take(const std::string& address);

private:
    std::mutex lock_;
    double rate_;
    double burst_;
    struct Entry {
        TokenBucket bucket;
        Clock::time_point used;
    };
    std::unordered_map<std::string, Entry> buckets_;
    std::size_t sweepAt_ = 1024;
};

// Open connections per client address.
class AddressCount {
public:
    explicit AddressCount(std::size_t limit) : limit_(limit) {}
    // False when the address is at its limit; otherwise counts one more.
    bool enter(const std::string& address);
    void leave(const std::string& address);

private:
    std::mutex lock_;
    std::size_t limit_;
    std::unordered_map<std::string, std::size_t> open_;
};

}  // namespace merrowfax::relay

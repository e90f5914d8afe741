#pragma once

#include <array>
#include <cstdint>

namespace merrowfax::bench {

// Log-bucketed latency histogram in the manner of HdrHistogram: exact below
// 128, then 64 buckets per power of two, so any recorded value is known to
// within 1.6%. Fixed size, no allocation, cheap enough to record every message.
class Histogram {
public:
    void record(std::uint64_t value);
    void merge(const Histogram& other);
    void reset();

    std::uint64_t count() const { return count_; }
    std::uint64_t max() const { return max_; }
    double mean() const;
    // The highest value equivalent to the one at this quantile (0 to 1);
    // 0 when nothing was recorded.
    std::uint64_t quantile(double q) const;

    static std::size_t bucketOf(std::uint64_t value);
    // The largest value that lands in the bucket.
    static std::uint64_t highestIn(std::size_t bucket);

private:
    static constexpr int kLinearBits = 7;  // values below 128 are exact
    static constexpr int kSubBits = 6;     // 64 buckets per power of two above
    static constexpr std::size_t kBuckets =
        (1u << kLinearBits) + (64 - kLinearBits) * (1u << kSubBits);

    std::array<std::uint64_t, kBuckets> counts_{};
    std::uint64_t count_ = 0;
    std::uint64_t max_ = 0;
    long double sum_ = 0;
};

}  // namespace merrowfax::bench

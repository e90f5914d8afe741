#include "histogram.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace merrowfax::bench {

std::size_t Histogram::bucketOf(std::uint64_t value) {
    if (value < (1u << kLinearBits)) return static_cast<std::size_t>(value);
    const int msb = 63 - std::countl_zero(value);
    const int shift = msb - kSubBits;
    const std::uint64_t sub = (value >> shift) - (1u << kSubBits);
    return (1u << kLinearBits) + static_cast<std::size_t>(msb - kLinearBits) * (1u << kSubBits) +
           static_cast<std::size_t>(sub);
}

std::uint64_t Histogram::highestIn(std::size_t bucket) {
    if (bucket < (1u << kLinearBits)) return bucket;
    const std::size_t above = bucket - (1u << kLinearBits);
    const int msb = static_cast<int>(above >> kSubBits) + kLinearBits;
    const int shift = msb - kSubBits;
    const std::uint64_t sub = (above & ((1u << kSubBits) - 1)) + (1u << kSubBits);
    // The top bucket ends at the largest 64-bit value; shifting past it would wrap.
    if (msb == 63 && sub == (2u << kSubBits) - 1) return UINT64_MAX;
    return ((sub + 1) << shift) - 1;
}

void Histogram::record(std::uint64_t value) {
    ++counts_[bucketOf(value)];
    ++count_;
    max_ = std::max(max_, value);
    sum_ += static_cast<long double>(value);
}

void Histogram::merge(const Histogram& other) {
    for (std::size_t i = 0; i < kBuckets; ++i) counts_[i] += other.counts_[i];
    count_ += other.count_;
    max_ = std::max(max_, other.max_);
    sum_ += other.sum_;
}

void Histogram::reset() {
    *this = Histogram{};
}

double Histogram::mean() const {
    return count_ ? static_cast<double>(sum_ / static_cast<long double>(count_)) : 0.0;
}

std::uint64_t Histogram::quantile(double q) const {
    if (count_ == 0) return 0;
    q = std::clamp(q, 0.0, 1.0);
    const auto rank = std::max<std::uint64_t>(
        1, static_cast<std::uint64_t>(std::ceil(q * static_cast<double>(count_))));
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < kBuckets; ++i) {
        seen += counts_[i];
        if (seen >= rank) return std::min(highestIn(i), max_);
    }
    return max_;
}

}  // namespace merrowfax::bench

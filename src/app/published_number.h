#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace merrowfax {

// A number the main thread publishes and network threads compare against
// without taking a lock: the characters sit between two reads of a sequence
// count that is odd while they change, and a reader that saw it move reads
// again. One writer only.
class PublishedNumber {
public:
    // Main thread only. Nothing, or a text too long to be a number, clears it.
    void set(const std::optional<std::string>& number) {
        const std::string_view text =
            number && number->size() <= kCapacity ? std::string_view(*number) : std::string_view();
        const std::uint32_t sequence = sequence_.load(std::memory_order_relaxed);
        sequence_.store(sequence + 1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        length_.store(static_cast<std::uint8_t>(text.size()), std::memory_order_relaxed);
        for (std::size_t i = 0; i < text.size(); ++i) {
            text_[i].store(text[i], std::memory_order_relaxed);
        }
        sequence_.store(sequence + 2, std::memory_order_release);
    }

    // Whether `number` is the one published now; never for an empty text.
    // Any thread.
    bool is(std::string_view number) const {
        if (number.empty() || number.size() > kCapacity) return false;
        for (;;) {
            const std::uint32_t before = sequence_.load(std::memory_order_acquire);
            if (before & 1U) continue;  // being written: a few characters
            bool same = length_.load(std::memory_order_relaxed) == number.size();
            for (std::size_t i = 0; same && i < number.size(); ++i) {
                same = text_[i].load(std::memory_order_relaxed) == number[i];
            }
            std::atomic_thread_fence(std::memory_order_acquire);
            if (sequence_.load(std::memory_order_relaxed) == before) return same;
        }
    }

private:
    // Longer than any number's text form.
    static constexpr std::size_t kCapacity = 31;

    std::atomic<std::uint32_t> sequence_ = 0;
    std::atomic<std::uint8_t> length_ = 0;
    std::array<std::atomic<char>, kCapacity> text_{};
};

}  // namespace merrowfax

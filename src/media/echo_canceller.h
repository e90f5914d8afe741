#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

struct SpeexEchoState_;
struct SpeexPreprocessState_;

namespace merrowfax {

// Takes what the loud speaker plays back out of what the microphone hears,
// in wire audio (16 kHz mono). The far end is exactly what the engine hands
// to the speaker; the speaker plays it in real time, so taking one far
// sample for each near sample keeps the two in step, and the adaptive
// filter finds the delay between them (up to its length).
class EchoCanceller {
public:
    static constexpr std::size_t kFrame = 160;          // 10 ms
    static constexpr std::size_t kTail = 3200;          // 200 ms of echo path
    static constexpr std::size_t kMaxFarQueue = 16000;  // 1 s waiting to be heard

    EchoCanceller();
    ~EchoCanceller();
    EchoCanceller(const EchoCanceller&) = delete;
    EchoCanceller& operator=(const EchoCanceller&) = delete;

    // What the speaker was given; any thread.
    void played(std::span<const std::int16_t> far);
    // Microphone samples in, cleaned samples out: whole 10 ms frames, so up
    // to one frame waits for the next call. The capture thread only.
    std::vector<std::int16_t> process(std::span<const std::int16_t> near);
    // `count` microphone samples went unheard (muted): the far end moves on
    // as if they had been processed.
    void skip(std::size_t count);

private:
    void takeFar(std::int16_t* out, std::size_t count);

    struct Free {
        void operator()(SpeexEchoState_* state) const;
        void operator()(SpeexPreprocessState_* state) const;
    };
    std::unique_ptr<SpeexEchoState_, Free> echo_;
    std::unique_ptr<SpeexPreprocessState_, Free> preprocess_;

    std::mutex farMutex_;
    std::deque<std::int16_t> far_;

    std::vector<std::int16_t> near_;  // less than one frame, waiting
    std::vector<std::int16_t> farFrame_;
};

}  // namespace merrowfax

#include "media/echo_canceller.h"

#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>

#include <algorithm>

namespace merrowfax {

void EchoCanceller::Free::operator()(SpeexEchoState_* state) const {
    speex_echo_state_destroy(state);
}

void EchoCanceller::Free::operator()(SpeexPreprocessState_* state) const {
    speex_preprocess_state_destroy(state);
}

EchoCanceller::EchoCanceller()
    : echo_(speex_echo_state_init(static_cast<int>(kFrame), static_cast<int>(kTail))),
      preprocess_(speex_preprocess_state_init(static_cast<int>(kFrame), 16000)),
      farFrame_(kFrame) {
    int rate = 16000;
    speex_echo_ctl(echo_.get(), SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
    // The preprocessor removes the echo the linear filter leaves behind.
    // Its noise suppression stays off: it would also eat steady tones and
    // voices over a hum, and the far side hears what the microphone hears.
    int off = 0;
    speex_preprocess_ctl(preprocess_.get(), SPEEX_PREPROCESS_SET_DENOISE, &off);
    speex_preprocess_ctl(preprocess_.get(), SPEEX_PREPROCESS_SET_ECHO_STATE, echo_.get());
}

EchoCanceller::~EchoCanceller() = default;

void EchoCanceller::played(std::span<const std::int16_t> far) {
    std::lock_guard lock(farMutex_);
    far_.insert(far_.end(), far.begin(), far.end());
    if (far_.size() > kMaxFarQueue) {
        far_.erase(far_.begin(),
                   far_.begin() + static_cast<std::ptrdiff_t>(far_.size() - kMaxFarQueue));
    }
}

void EchoCanceller::takeFar(std::int16_t* out, std::size_t count) {
    std::lock_guard lock(farMutex_);
    const std::size_t have = std::min(count, far_.size());
    std::copy_n(far_.begin(), have, out);
    std::fill(out + have, out + count, 0);  // nothing played: silence
    far_.erase(far_.begin(), far_.begin() + static_cast<std::ptrdiff_t>(have));
}

void EchoCanceller::skip(std::size_t count) {
    std::lock_guard lock(farMutex_);
    far_.erase(far_.begin(),
               far_.begin() + static_cast<std::ptrdiff_t>(std::min(count, far_.size())));
}

std::vector<std::int16_t> EchoCanceller::process(std::span<const std::int16_t> near) {
    near_.insert(near_.end(), near.begin(), near.end());
    const std::size_t frames = near_.size() / kFrame;
    std::vector<std::int16_t> out(frames * kFrame);
    for (std::size_t f = 0; f < frames; ++f) {
        takeFar(farFrame_.data(), kFrame);
        speex_echo_cancellation(echo_.get(), near_.data() + f * kFrame, farFrame_.data(),
                                out.data() + f * kFrame);
        speex_preprocess_run(preprocess_.get(), out.data() + f * kFrame);
    }
    near_.erase(near_.begin(), near_.begin() + static_cast<std::ptrdiff_t>(frames * kFrame));
    return out;
}

}  // namespace merrowfax

#pragma once

#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/audio_devices.h"

namespace merrowfax {

// A clip played as a microphone, looped, in real time: one 20 ms chunk every
// 20 ms on a thread of its own (no event loop needed). An empty clip is
// silence. After a stall it carries on from the present instead of catching
// up in a burst.
class FileMicrophone final : public AudioSource {
public:
    FileMicrophone(AudioFormat format, std::vector<std::int16_t> clip);
    ~FileMicrophone() override;
    // The samples of a WAV file; nothing when the file is refused.
    static std::unique_ptr<FileMicrophone> fromWav(const std::filesystem::path& file);

    AudioFormat format() const override { return format_; }
    bool start(OnChunk onChunk) override;
    void stop() override;

private:
    void run(OnChunk onChunk);

    const AudioFormat format_;
    const std::vector<std::int16_t> clip_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace merrowfax

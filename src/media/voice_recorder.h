#pragma once

#include <QObject>
#include <QTimer>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "media/voice_encoder.h"
#include "media/wire_audio.h"
#include "platform/audio_devices.h"
#include "wire/peer_event.h"

namespace merrowfax {

// Records a voice message from a microphone through an encoder into a file
// (an .m4a) in the temporary directory and hands over the file's bytes.
//
// Threads: start(), stop() and the finish callback belong to the thread that
// made the recorder (the main thread); the microphone delivers on its own
// thread, where the audio is converted to 16 kHz mono and queued; the encoder
// thread encodes and writes the file. The recording ends by stop() or after
// timings().voiceLimit, whichever comes first.
class VoiceRecorder final : public QObject {
    Q_OBJECT
public:
    // Runs exactly once per started recording: the file's bytes, or nothing
    // when the recording failed or holds no sound at all.
    using OnFinish = std::function<void(std::optional<wire::Bytes>)>;

    // Converted audio waiting for the encoder, at most (a stalled encoder
    // loses the newest audio rather than grow the queue).
    static constexpr std::size_t kMaxQueuedSamples = 4 * 16000;

    VoiceRecorder(std::unique_ptr<AudioSource> microphone, std::unique_ptr<VoiceEncoder> encoder,
                  OnFinish onFinish, QObject* parent = nullptr);
    ~VoiceRecorder() override;

    // False, and no callback ever, when there is no microphone or encoder,
    // the microphone does not start, or the encoder cannot open its file.
    // Only once per recorder.
    bool start();
    // Ends the recording; the callback follows once the file is complete.
    void stop();
    bool recording() const { return state_ == State::recording; }

private:
    enum class State { idle, recording, finishing, done };

    void capture(std::span<const std::int16_t> frames);
    void encodeLoop();
    void delivered(std::optional<wire::Bytes> bytes);

    std::unique_ptr<AudioSource> microphone_;
    OnFinish onFinish_;
    State state_ = State::idle;
    QTimer limit_;
    std::filesystem::path file_;

    // Capture state, on the microphone's thread only.
    AudioFormat format_;
    WireConverter converter_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::int16_t> queue_;
    std::size_t accepted_ = 0;  // samples taken in so far; bounded by the limit
    std::size_t maxSamples_ = 0;
    bool ending_ = false;
    std::unique_ptr<VoiceEncoder> encoder_;
    std::thread worker_;
};

}  // namespace merrowfax

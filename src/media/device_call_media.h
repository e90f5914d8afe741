#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "media/call_media.h"
#include "media/echo_canceller.h"
#include "media/latest_job_worker.h"
#include "media/video_frames.h"
#include "media/wire_audio.h"
#include "platform/audio_devices.h"
#include "platform/camera.h"

namespace merrowfax {

class ClickStamps;

// Call media on the device seams of platform/: a microphone and a speaker
// opened anew for every start of audio, and one camera.
//
// Threads: the published state, starting and stopping, and playback run on
// the main thread; the capture step on the microphone's thread; frame
// encoding on the video worker and decoding on the decode worker, whose
// pictures are published on the main thread. Workers are joined before the
// engine goes, so no job meets a destroyed engine.
class DeviceCallMedia final : public CallMedia {
public:
    using Clock = std::chrono::steady_clock;
    struct Devices {
        std::function<std::unique_ptr<AudioSource>()> microphone;
        std::function<std::unique_ptr<AudioSink>()> speaker;
        std::unique_ptr<Camera> camera = std::make_unique<NoCamera>();
        // When a camera frame arrives (tests bring their own clock).
        std::function<Clock::time_point()> now = [] {
            return Clock::now();
        };
    };

    // Gain of the microphone on its way to the wire.
    static constexpr double kMicrophoneGain = 2.2;
    // Received chunks kept while audio is stopped.
    static constexpr std::size_t kMaxPendingChunks = 40;
    // The own picture as the call screen shows it (twice its 120 x 170).
    static constexpr QSize kPreviewSize{240, 340};

    explicit DeviceCallMedia(Devices devices, QObject* parent = nullptr);
    ~DeviceCallMedia() override;

    void setCallbacks(Callbacks callbacks) override;
    bool microphoneAllowed() const override { return true; }
    bool hasCamera() const override;
    int cameraCount() const override { return devices_.camera->count(); }

    bool startAudio() override;
    void stopAudio() override;
    void receiveAudio(std::span<const std::byte> chunk) override;
    // A desktop is never a phone: it always plays on its loud speaker.
    void setSpeaker(bool on) override;

    void startVideo() override;
    void stopVideo() override;
    void switchCamera() override;
    void receiveVideo(std::span<const std::byte> frame) override;

    CameraPosition cameraPosition() const { return position_; }

private:
    // What the capture step keeps while the microphone runs.
    struct Capture {
        explicit Capture(AudioFormat f) : format(f) {}
        AudioFormat format;
        WireConverter converter;
        EchoCanceller echo;
    };

    void captureStep(std::span<const std::int16_t> frames);
    void playChunk(std::span<const std::byte> chunk);
    void flushPending();
    void ensurePlaying();
    void stopDevices();

    void startCamera();
    void cameraFrame(const QImage& picture);
    // Hands the own picture to the main thread for the corner preview.
    void showPreview(const QImage& picture);

    Devices devices_;
    std::unique_ptr<ClickStamps> stamps_;

    std::mutex callbacksMutex_;
    Callbacks callbacks_;

    // Audio; the devices and the pending chunks belong to the main thread.
    std::unique_ptr<AudioSource> microphone_;
    std::unique_ptr<AudioSink> speaker_;
    std::unique_ptr<SpeakerConverter> toSpeaker_;
    bool speakerRunning_ = false;
    std::deque<wire::Bytes> pendingPlay_;
    std::mutex captureMutex_;  // written on the main thread only
    std::unique_ptr<Capture> capture_;

    // Video.
    CameraPosition position_ = CameraPosition::front;
    std::atomic<bool> sendingVideo_ = false;
    FrameGate gate_;
    // Bumped when the remote picture is cleared: older decodes are stale.
    std::atomic<int> pictureGeneration_ = 0;
    std::unique_ptr<LatestJobWorker> videoWorker_;
    std::unique_ptr<LatestJobWorker> decodeWorker_;
};

}  // namespace merrowfax

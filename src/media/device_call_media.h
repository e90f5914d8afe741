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
// Threads: the published state, starting and stopping run on the main
// thread; receiveAudio() on any thread (a network thread, while the main
// thread starts or stops audio); the capture step on the microphone's
// thread; what the speaker takes to play reaches the echo canceller and the
// latency stamps on the speaker's thread; frame encoding on the video worker
// and decoding on the decode worker, whose pictures are published on the
// main thread. Workers are joined before the engine goes, so no job meets a
// destroyed engine.
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
    // The echo canceller, shared by the capture step and the speaker's
    // thread. Its far end counts from the microphone's first chunk: what a
    // speaker started earlier took before then would put the reference
    // ahead of its own echo, where the canceller cannot find it.
    struct Echo {
        EchoCanceller canceller;
        std::atomic<bool> hearing = false;
    };
    // What the capture step keeps while the microphone runs.
    struct Capture {
        Capture(AudioFormat f, std::shared_ptr<Echo> e) : format(f), echo(std::move(e)) {}
        AudioFormat format;
        WireConverter converter;
        std::shared_ptr<Echo> echo;
    };

    // What the speaker takes goes to the echo canceller and the stamps.
    void watchSpeaker(AudioSink& speaker, std::shared_ptr<Echo> echo);
    void captureStep(std::span<const std::int16_t> frames);
    // With playMutex_ held.
    void playChunk(std::span<const std::byte> chunk);
    void stopDevices();

    void startCamera();
    void cameraFrame(const QImage& picture);
    // Hands the own picture to the main thread for the corner preview.
    void showPreview(const QImage& picture);

    Devices devices_;
    std::unique_ptr<ClickStamps> stamps_;

    std::mutex callbacksMutex_;
    Callbacks callbacks_;

    // Audio. The microphone belongs to the main thread; capture_ is the
    // capture step's, written on the main thread under captureMutex_.
    std::unique_ptr<AudioSource> microphone_;
    std::mutex captureMutex_;
    std::unique_ptr<Capture> capture_;
    // Playback, reached from any thread under its own lock (never the
    // capture one): the speaker while it runs, and what waits for it.
    std::mutex playMutex_;
    std::unique_ptr<AudioSink> speaker_;
    std::unique_ptr<SpeakerConverter> toSpeaker_;
    std::deque<wire::Bytes> pendingPlay_;

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

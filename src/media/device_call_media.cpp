#include "media/device_call_media.h"

#include <string>
#include <utility>

#include "media/click_stamps.h"
#include "media/connection_tone.h"
#include "platform/diagnostic_log.h"
#include "platform/timings.h"

namespace merrowfax {

DeviceCallMedia::DeviceCallMedia(Devices devices, QObject* parent)
    : devices_(std::move(devices)),
      stamps_(ClickStamps::fromEnvironment()),
      gate_(timings().videoFrame),
      videoWorker_(std::make_unique<LatestJobWorker>()),
      decodeWorker_(std::make_unique<LatestJobWorker>()) {
    setParent(parent);
    if (!devices_.camera) devices_.camera = std::make_unique<NoCamera>();
}

DeviceCallMedia::~DeviceCallMedia() {
    sendingVideo_ = false;
    devices_.camera->stop();
    stopDevices();
    // Joined here, while everything their jobs touch still stands.
    videoWorker_.reset();
    decodeWorker_.reset();
}

void DeviceCallMedia::setCallbacks(Callbacks callbacks) {
    std::lock_guard lock(callbacksMutex_);
    callbacks_ = std::move(callbacks);
}

bool DeviceCallMedia::hasCamera() const {
    return devices_.camera->available();
}

// --- Audio ---------------------------------------------------------------

bool DeviceCallMedia::startAudio() {
    publishSpeakerOn(true);
    // Each start builds afresh: a device that went away is found again.
    stopDevices();
    auto microphone = devices_.microphone ? devices_.microphone() : nullptr;
    auto speaker = devices_.speaker ? devices_.speaker() : nullptr;
    const AudioFormat format = microphone ? microphone->format() : AudioFormat{0, 0};
    auto echo = std::make_shared<Echo>();
    if (speaker) watchSpeaker(*speaker, echo);
    bool started = speaker && format.sampleRate > 0 && format.channels > 0 && speaker->start();
    if (started) {
        {
            std::lock_guard lock(captureMutex_);
            capture_ = std::make_unique<Capture>(format, echo);
        }
        started = microphone->start(
            [this](std::span<const std::int16_t> frames) { captureStep(frames); });
    }
    if (!started) {
        if (speaker) speaker->stop();
        stopDevices();
        publishAudioReady(false);
        return false;
    }
    microphone_ = std::move(microphone);
    {
        std::lock_guard lock(playMutex_);
        toSpeaker_ = std::make_unique<SpeakerConverter>(speaker->format());
        speaker_ = std::move(speaker);
        // Under the lock, so chunks arriving meanwhile queue behind these.
        for (const wire::Bytes& chunk : std::exchange(pendingPlay_, {})) playChunk(chunk);
    }
    publishAudioReady(true);
    return true;
}

void DeviceCallMedia::stopAudio() {
    {
        std::lock_guard lock(playMutex_);
        pendingPlay_.clear();
    }
    if (!audioReady()) return;
    stopDevices();
    publishAudioReady(false);
}

void DeviceCallMedia::stopDevices() {
    if (microphone_) microphone_->stop();
    {
        // Waits for a capture step under way.
        std::lock_guard lock(captureMutex_);
        capture_.reset();
    }
    microphone_.reset();
    std::unique_ptr<AudioSink> speaker;
    {
        std::lock_guard lock(playMutex_);
        speaker = std::move(speaker_);
        toSpeaker_.reset();
    }
    // Outside the lock: a receiving thread never waits for the device.
    if (!speaker) return;
    if (stamps_) {
        if (auto stats = speaker->playoutStats()) stamps_->playout(*stats);
    }
    speaker->stop();
}

void DeviceCallMedia::watchSpeaker(AudioSink& speaker, std::shared_ptr<Echo> echo) {
    const AudioFormat format = speaker.format();
    ClickStamps* stamps = stamps_.get();  // outlives the speaker
    speaker.setOnPlayed([echo = std::move(echo), stamps,
                         format](std::span<const std::int16_t> samples) {
        // The far end exactly as the speaker takes it, silence included, so
        // it stays in step with the microphone.
        const bool hearing = echo->hearing.load(std::memory_order_acquire);
        if (format == kWireAudioFormat) {
            if (hearing) echo->canceller.played(samples);
            if (stamps) stamps->played(samples);
            return;
        }
        // A headless speaker of its own format: back to wire audio.
        std::vector<std::int16_t> wire = resampleToWire(samples, format);
        if (wire.empty() && format.sampleRate > 0 && format.channels > 0) {
            wire.resize(samples.size() / static_cast<std::size_t>(format.channels) *
                        kWireAudioFormat.sampleRate / static_cast<std::size_t>(format.sampleRate));
        }
        if (hearing) echo->canceller.played(wire);
        if (stamps) stamps->played(wire);
    });
    if (stamps) speaker.setOnUnderrun([stamps] { stamps->underrun(); });
}

void DeviceCallMedia::captureStep(std::span<const std::int16_t> frames) {
    std::lock_guard lock(captureMutex_);
    if (!capture_) return;
    const AudioFormat format = capture_->format;
    capture_->echo->hearing.store(true, std::memory_order_release);
    if (muted()) {
        // Not converted at all; the echo canceller's far end moves on.
        const std::size_t wireSamples = frames.size() / static_cast<std::size_t>(format.channels) *
                                        kWireAudioFormat.sampleRate /
                                        static_cast<std::size_t>(format.sampleRate);
        capture_->echo->canceller.skip(wireSamples);
        return;
    }
    // One conversion to wire samples; everything after works on them.
    std::vector<std::int16_t> wire = resampleToWire(frames, format);
    if (wire.empty()) wire = capture_->converter.convert(frames, format);
    if (wire.empty()) return;
    if (stamps_) stamps_->captured(wire);
    const bool silent = peakOf(std::span<const std::int16_t>(wire)) == 0;
    // Silence still runs through the canceller, which keeps it in step with
    // the far end.
    std::vector<std::int16_t> clean = capture_->echo->canceller.process(wire);
    if (silent || clean.empty()) return;
    applyGain(clean, kMicrophoneGain);
    const int peak = peakOf(std::span<const std::int16_t>(clean));
    if (peak == 0) return;  // silence is never sent
    wire::Bytes chunk = wireAudio(clean);
    diagnosticLog([&] {
        return "mic peak " + std::to_string(peak) + " bytes " + std::to_string(chunk.size());
    });
    std::function<void(wire::Bytes)> onAudio;
    {
        std::lock_guard callbacksLock(callbacksMutex_);
        onAudio = callbacks_.onAudio;
    }
    if (onAudio) onAudio(std::move(chunk));
}

void DeviceCallMedia::receiveAudio(std::span<const std::byte> chunk) {
    if (chunk.size() < 2) return;
    std::lock_guard lock(playMutex_);
    if (speaker_) return playChunk(chunk);
    pendingPlay_.emplace_back(chunk.begin(), chunk.end());
    while (pendingPlay_.size() > kMaxPendingChunks) pendingPlay_.pop_front();
}

void DeviceCallMedia::playChunk(std::span<const std::byte> chunk) {
    if (!speaker_ || !toSpeaker_) return;
    const std::vector<std::int16_t> samples = wireSamples(chunk);
    if (samples.empty()) return;
    // The speaker reports when it actually takes them (watchSpeaker).
    speaker_->play(toSpeaker_->convert(samples));
    diagnosticLog([&] { return "play " + std::to_string(samples.size()) + " frames"; });
}

void DeviceCallMedia::setSpeaker(bool) {
    publishSpeakerOn(true);
}

// --- Video ---------------------------------------------------------------

void DeviceCallMedia::startVideo() {
    publishVideoOn(true);
    if (sendingVideo_.exchange(true)) return;
    gate_.reset();
    startCamera();
}

void DeviceCallMedia::startCamera() {
    // A missing or refused camera leaves video on with nothing sent.
    (void)devices_.camera->start(position_,
                                 [this](const QImage& picture) { cameraFrame(picture); });
}

void DeviceCallMedia::stopVideo() {
    publishVideoOn(false);
    sendingVideo_ = false;
    devices_.camera->stop();
    ++pictureGeneration_;
    clearRemoteImage();
    publishLocalPreview(QImage());
}

void DeviceCallMedia::switchCamera() {
    position_ = position_ == CameraPosition::front ? CameraPosition::back : CameraPosition::front;
    if (!sendingVideo_) return;  // remembered for the next start
    devices_.camera->stop();
    startCamera();
}

void DeviceCallMedia::cameraFrame(const QImage& picture) {
    if (!sendingVideo_ || !gate_.accept(devices_.now())) return;
    videoWorker_->submit([this, picture] {
        showPreview(picture);
        auto jpeg = encodeVideoFrame(picture);
        if (!jpeg || !sendingVideo_) return;
        std::function<void(wire::Bytes)> onVideo;
        {
            std::lock_guard lock(callbacksMutex_);
            onVideo = callbacks_.onVideo;
        }
        if (onVideo) onVideo(std::move(*jpeg));
    });
}

void DeviceCallMedia::showPreview(const QImage& picture) {
    // Small enough for the corner preview on a dense screen; the frame gate
    // already keeps this under ten a second.
    QImage preview =
        picture.scaled(kPreviewSize, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
    const int generation = pictureGeneration_;
    QMetaObject::invokeMethod(
        this,
        [this, preview = std::move(preview), generation]() mutable {
            if (generation == pictureGeneration_ && sendingVideo_) {
                publishLocalPreview(std::move(preview));
            }
        },
        Qt::QueuedConnection);
}

void DeviceCallMedia::receiveVideo(std::span<const std::byte> frame) {
    const int generation = pictureGeneration_;
    decodeWorker_->submit([this, bytes = wire::Bytes(frame.begin(), frame.end()), generation] {
        QImage picture = decodeVideoFrame(bytes);
        if (picture.isNull()) return;
        // Queued to this object: dropped by Qt if the engine is gone by then.
        QMetaObject::invokeMethod(
            this,
            [this, picture = std::move(picture), generation]() mutable {
                if (generation == pictureGeneration_) publishRemoteImage(std::move(picture));
            },
            Qt::QueuedConnection);
    });
}

}  // namespace merrowfax

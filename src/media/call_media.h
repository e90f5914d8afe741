#pragma once

#include <QImage>
#include <QObject>

#include <atomic>
#include <functional>
#include <span>

#include "wire/peer_event.h"

namespace merrowfax {

// Call audio and video: captures the microphone and camera, hands over what
// it captured in the wire formats, and plays and shows what arrives. It knows
// nothing of calls or numbers; the model starts and stops it.
//
// Wire audio: 16 kHz mono signed 16-bit little-endian PCM, no header.
class CallMedia : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool speakerOn READ speakerOn NOTIFY speakerOnChanged)
    Q_PROPERTY(bool muted READ muted WRITE setMuted NOTIFY mutedChanged)
    Q_PROPERTY(bool videoOn READ videoOn NOTIFY videoOnChanged)
    Q_PROPERTY(bool audioReady READ audioReady NOTIFY audioReadyChanged)
    Q_PROPERTY(QImage remoteImage READ remoteImage NOTIFY remoteImageChanged)
    Q_PROPERTY(QImage localPreview READ localPreview NOTIFY localPreviewChanged)

public:
    struct Callbacks {
        std::function<void(wire::Bytes)> onAudio;  // a captured chunk, any thread
        std::function<void(wire::Bytes)> onVideo;  // an encoded camera frame, any thread
    };

    using QObject::QObject;
    ~CallMedia() override = default;

    virtual void setCallbacks(Callbacks callbacks) = 0;

    // Whether the user lets the program use the microphone. A desktop asks
    // nobody, so only an engine on a platform with permissions says no.
    virtual bool microphoneAllowed() const = 0;
    // Whether there is a camera to send from.
    virtual bool hasCamera() const = 0;
    // How many cameras switchCamera() moves between.
    virtual int cameraCount() const { return hasCamera() ? 1 : 0; }

    // Builds the audio graph and starts capture and playback; false when no
    // usable microphone format exists or the engine did not start. Either
    // way audioReady() tells what came of it.
    virtual bool startAudio() = 0;
    virtual void stopAudio() = 0;
    // One received chunk, from any thread; kept for the next start while
    // audio is stopped.
    virtual void receiveAudio(std::span<const std::byte> chunk) = 0;
    virtual void setSpeaker(bool on) = 0;

    virtual void startVideo() = 0;
    virtual void stopVideo() = 0;
    virtual void switchCamera() = 0;
    // One received JPEG frame; undecodable bytes are ignored.
    virtual void receiveVideo(std::span<const std::byte> frame) = 0;

    bool speakerOn() const { return speakerOn_; }
    bool videoOn() const { return videoOn_; }
    // Capture and playback run.
    bool audioReady() const { return audioReady_; }
    // The last picture decoded from the other side; null before the first.
    const QImage& remoteImage() const { return remoteImage_; }
    // Pictures decoded since the last one was cleared (this call).
    int remoteFrames() const { return remoteFrames_; }
    // The own camera's latest picture while video runs; null otherwise.
    const QImage& localPreview() const { return localPreview_; }
    // Read by the capture thread, written on the main thread.
    bool muted() const { return muted_; }
    void setMuted(bool muted) {
        if (muted_.exchange(muted) != muted) Q_EMIT mutedChanged();
    }

Q_SIGNALS:
    void speakerOnChanged();
    void mutedChanged();
    void videoOnChanged();
    void audioReadyChanged();
    void remoteImageChanged();
    void localPreviewChanged();

protected:
    // Main thread only, as the rest of the published state.
    void publishSpeakerOn(bool on) {
        if (speakerOn_ == on) return;
        speakerOn_ = on;
        Q_EMIT speakerOnChanged();
    }
    void publishVideoOn(bool on) {
        if (videoOn_ == on) return;
        videoOn_ = on;
        Q_EMIT videoOnChanged();
    }
    void publishAudioReady(bool ready) {
        if (audioReady_ == ready) return;
        audioReady_ = ready;
        Q_EMIT audioReadyChanged();
    }
    void publishRemoteImage(QImage image) {
        remoteImage_ = std::move(image);
        ++remoteFrames_;
        Q_EMIT remoteImageChanged();
    }
    void clearRemoteImage() {
        remoteFrames_ = 0;
        if (remoteImage_.isNull()) return;
        remoteImage_ = QImage();
        Q_EMIT remoteImageChanged();
    }
    // At most about ten times a second; a null picture when video stops.
    void publishLocalPreview(QImage image) {
        localPreview_ = std::move(image);
        Q_EMIT localPreviewChanged();
    }

private:
    bool speakerOn_ = true;
    bool videoOn_ = false;
    bool audioReady_ = false;
    QImage remoteImage_;
    int remoteFrames_ = 0;
    QImage localPreview_;
    std::atomic<bool> muted_ = false;
};

// Used until the program has a call media engine. It has no audio engine
// and no camera: nothing refuses the microphone, but audio never starts
// (so a connected call says the microphone did not start), and video never
// starts.
class NoCallMedia final : public CallMedia {
public:
    void setCallbacks(Callbacks) override {}
    bool microphoneAllowed() const override { return true; }
    bool hasCamera() const override { return false; }
    bool startAudio() override { return false; }
    void stopAudio() override {}
    void receiveAudio(std::span<const std::byte>) override {}
    void setSpeaker(bool) override {}  // a desktop always plays aloud
    void startVideo() override {}
    void stopVideo() override {}
    void switchCamera() override {}
    void receiveVideo(std::span<const std::byte>) override {}
};

}  // namespace merrowfax

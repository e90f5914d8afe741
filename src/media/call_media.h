#pragma once

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

public:
    struct Callbacks {
        std::function<void(wire::Bytes)> onAudio;  // a captured chunk, any thread
        std::function<void(wire::Bytes)> onVideo;  // an encoded camera frame, any thread
    };

    using QObject::QObject;
    ~CallMedia() override = default;

    virtual void setCallbacks(Callbacks callbacks) = 0;

    // A desktop asks nobody for the microphone or the camera: they are
    // allowed when the device has one.
    virtual bool hasMicrophone() const = 0;
    virtual bool hasCamera() const = 0;

    // Builds the audio graph and starts capture and playback; false when no
    // usable microphone format exists or the engine did not start.
    virtual bool startAudio() = 0;
    virtual void stopAudio() = 0;
    virtual bool audioReady() const = 0;
    // One received chunk; kept for the next start while audio is stopped.
    virtual void receiveAudio(std::span<const std::byte> chunk) = 0;
    virtual void setSpeaker(bool on) = 0;

    virtual void startVideo() = 0;
    virtual void stopVideo() = 0;
    virtual void switchCamera() = 0;
    // One received JPEG frame; undecodable bytes are ignored.
    virtual void receiveVideo(std::span<const std::byte> frame) = 0;

    bool speakerOn() const { return speakerOn_; }
    bool videoOn() const { return videoOn_; }
    // Read by the capture thread, written on the main thread.
    bool muted() const { return muted_; }
    void setMuted(bool muted) {
        if (muted_.exchange(muted) != muted) Q_EMIT mutedChanged();
    }

Q_SIGNALS:
    void speakerOnChanged();
    void mutedChanged();
    void videoOnChanged();

protected:
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

private:
    bool speakerOn_ = true;
    bool videoOn_ = false;
    std::atomic<bool> muted_ = false;
};

// Used until the program has a call media engine: captures and plays
// nothing. The microphone is not refused, but audio never starts, so a call
// says that the microphone did not start; there is no camera.
class NoCallMedia final : public CallMedia {
public:
    void setCallbacks(Callbacks) override {}
    bool hasMicrophone() const override { return true; }
    bool hasCamera() const override { return false; }
    bool startAudio() override { return false; }
    void stopAudio() override {}
    bool audioReady() const override { return false; }
    void receiveAudio(std::span<const std::byte>) override {}
    void setSpeaker(bool) override {}  // a desktop always plays aloud
    void startVideo() override {}
    void stopVideo() override {}
    void switchCamera() override {}
    void receiveVideo(std::span<const std::byte>) override {}
};

}  // namespace merrowfax

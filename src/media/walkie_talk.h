#pragma once

#include <QObject>

#include <functional>
#include <span>
#include <string>

#include "base/uuid.h"
#include "wire/peer_event.h"

namespace merrowfax {

// The push-to-talk engine of one walkie channel: captures the microphone
// while the talk button is held and plays what others say on the loud
// speaker, framed by radio static. It knows nothing of numbers; the model
// decides who talks to whom and sends what it captures.
//
// Audio in and out is wire audio (16 kHz mono signed 16-bit PCM).
class WalkieTalk : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString status READ status NOTIFY statusChanged)
    Q_PROPERTY(bool transmitting READ transmitting NOTIFY transmittingChanged)
    Q_PROPERTY(QString hearing READ hearing NOTIFY hearingChanged)

public:
    struct Callbacks {
        std::function<void(wire::Bytes)> onCaptured;  // a captured chunk, any thread
        std::function<void(bool)> onTalking;          // transmitting began or ended, main thread
    };

    using QObject::QObject;
    ~WalkieTalk() override = default;

    virtual void setCallbacks(Callbacks callbacks) = 0;
    virtual void setChannel(const Uuid& channel) = 0;

    // Whether there is an audio engine to talk and hear with at all.
    virtual bool hasAudio() const = 0;

    // The talk button went down: capture starts unless a call holds the
    // audio; false when nothing is captured. The button went up: capture
    // ends and the trailing static follows.
    virtual bool pressTalk() = 0;
    virtual void releaseTalk() = 0;

    // A remote talker began (`name` shows while it plays), a chunk of their
    // talk arrived, or a whole clip is to be played (a stored walkie message).
    virtual void startHearing(const std::string& name) = 0;
    virtual void receiveChunk(std::span<const std::byte> chunk, const std::string& name) = 0;
    // A chunk of the talk being heard, from the thread that received it:
    // played at once, and true, while a heard talk has the speaker open;
    // false (nothing done) otherwise, and receiveChunk() takes it instead.
    virtual bool hearChunk(std::span<const std::byte>) { return false; }
    virtual void playClip(std::span<const std::byte> clip, const std::string& name) = 0;
    // The talk being heard is over (its talker let go): the closing static
    // follows whatever of it is still to be played, then the bar rests.
    virtual void silenceEnded() = 0;

    // A phone call takes the audio: stop talking and hearing, tear the
    // engine down.
    virtual void giveWay() = 0;
    // While yielded (a call runs), pressing talk does nothing.
    virtual void setYielded(bool yielded) = 0;

    // The line the walkie bar shows, whether the own voice goes out, and the
    // name of whoever is heard (empty when nobody).
    const QString& status() const { return status_; }
    bool transmitting() const { return transmitting_; }
    const QString& hearing() const { return hearing_; }

Q_SIGNALS:
    void statusChanged();
    void transmittingChanged();
    void hearingChanged();

protected:
    void publishStatus(QString status) {
        if (status_ == status) return;
        status_ = std::move(status);
        Q_EMIT statusChanged();
    }
    void publishTransmitting(bool on) {
        if (transmitting_ == on) return;
        transmitting_ = on;
        Q_EMIT transmittingChanged();
    }
    void publishHearing(QString name) {
        if (hearing_ == name) return;
        hearing_ = std::move(name);
        Q_EMIT hearingChanged();
    }

private:
    QString status_ = QStringLiteral("Hold to talk. It plays on the speaker.");
    bool transmitting_ = false;
    QString hearing_;
};

// Used until the program has a walkie engine: it has no audio, so pressing
// talk captures nothing and nothing is played.
class NoWalkieTalk final : public WalkieTalk {
public:
    void setCallbacks(Callbacks) override {}
    void setChannel(const Uuid&) override {}
    bool hasAudio() const override { return false; }
    bool pressTalk() override { return false; }
    void releaseTalk() override {}
    void startHearing(const std::string&) override {}
    void receiveChunk(std::span<const std::byte>, const std::string&) override {}
    void playClip(std::span<const std::byte>, const std::string&) override {}
    void silenceEnded() override {}
    void giveWay() override {}
    void setYielded(bool) override {}
};

}  // namespace merrowfax

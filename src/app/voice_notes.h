#pragma once

#include <QObject>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "media/voice_encoder.h"
#include "platform/audio_devices.h"
#include "wire/peer_event.h"

namespace merrowfax {

class CallController;
class ControllerHost;
class VoiceRecorder;

// Voice messages: one recording at a time from the chosen microphone, sent
// as an "audio" attachment named "voice.m4a" when it ends.
//
// A recording belongs to the chat it was started in: leaving that chat ends
// it and sends what was recorded, and starting one in another chat ends and
// sends the running one first. The microphone belongs to a call while one
// runs: no recording starts then, and one that runs when a call begins
// (placed or answered) is ended and sent there.
class VoiceNotes final : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool recording READ recording NOTIFY recordingChanged)
    Q_PROPERTY(std::string recordingFor READ recordingFor NOTIFY recordingChanged)
public:
    using Microphone = std::function<std::unique_ptr<AudioSource>()>;

    // No `microphone` or no `encoder`: nothing records.
    VoiceNotes(ControllerHost& host, const CallController& calls, Microphone microphone,
               MakeVoiceEncoder encoder, QObject* parent = nullptr);
    ~VoiceNotes() override;

    // Starts recording a message to `number`. A recording for another number
    // is ended and sent, and this one starts once it is handed over. False
    // when this number's recording runs already, a call runs, or the
    // microphone does not start.
    bool start(const std::string& number);
    // Ends the recording; it is sent once its file is complete. A start
    // waiting behind it is dropped.
    void stop();
    // The chat with `number` is no longer shown: its recording ends as by
    // stop(), and one waiting to start there is dropped.
    void leaveChat(const std::string& number);
    // True from start() until the message is handed to the model (or dropped).
    bool recording() const { return recorder_ != nullptr; }
    // The number that recording is for; empty when none.
    const std::string& recordingFor() const { return number_; }

Q_SIGNALS:
    // recording() or recordingFor() changed.
    void recordingChanged();
    // A recording ended: whether a message was made of it.
    void ended(bool sent);

private:
    void finished(const std::string& number, std::optional<wire::Bytes> bytes);

    ControllerHost& host_;
    const CallController& calls_;
    Microphone microphone_;
    MakeVoiceEncoder encoder_;
    std::unique_ptr<VoiceRecorder> recorder_;
    std::string number_;
    // Pressed in another chat while the recording ran: starts after it.
    std::optional<std::string> next_;
};

}  // namespace merrowfax

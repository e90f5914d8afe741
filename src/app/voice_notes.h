#pragma once

#include <QObject>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/audio_devices.h"
#include "wire/peer_event.h"

namespace merrowfax {

class AppModel;
class VoiceRecorder;

// Voice messages: one recording at a time from the chosen microphone, sent
// as an "audio" attachment named "voice.m4a" when it ends. The microphone
// belongs to a call while one runs: no recording starts then, and one that
// runs when a call begins is ended there.
class VoiceNotes final : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool recording READ recording NOTIFY recordingChanged)
public:
    using Microphone = std::function<std::unique_ptr<AudioSource>()>;

    VoiceNotes(AppModel& model, Microphone microphone, QObject* parent = nullptr);
    ~VoiceNotes() override;

    // Starts recording a message to `number`; false when a recording or a
    // call runs, or the microphone does not start.
    bool start(const std::string& number);
    // Ends the recording; it is sent once its file is complete.
    void stop();
    // True from start() until the message is handed to the model (or dropped).
    bool recording() const { return recorder_ != nullptr; }

Q_SIGNALS:
    void recordingChanged();
    // A recording ended: whether a message was made of it.
    void ended(bool sent);

private:
    void finished(const std::string& number, std::optional<wire::Bytes> bytes);

    AppModel& model_;
    Microphone microphone_;
    std::unique_ptr<VoiceRecorder> recorder_;
};

}  // namespace merrowfax

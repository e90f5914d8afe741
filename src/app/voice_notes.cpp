#include "app/voice_notes.h"

#include <utility>

#include "app/call_controller.h"
#include "app/controller_host.h"
#include "media/voice_recorder.h"

namespace merrowfax {

VoiceNotes::VoiceNotes(ControllerHost& host, const CallController& calls, Microphone microphone,
                       MakeVoiceEncoder encoder, QObject* parent)
    : QObject(parent),
      host_(host),
      calls_(calls),
      microphone_(std::move(microphone)),
      encoder_(std::move(encoder)) {
    // Placing a call and answering one both make it the active call.
    connect(&calls_, &CallController::activeChanged, this, [this] {
        if (calls_.active()) stop();
    });
}

VoiceNotes::~VoiceNotes() = default;

bool VoiceNotes::start(const std::string& number) {
    if (number.empty() || calls_.active() || !microphone_ || !encoder_) return false;
    if (recorder_) {
        if (number == number_) return false;
        // The other chat's recording is sent as it stands; this one follows.
        next_ = number;
        recorder_->stop();
        return true;
    }
    auto recorder = std::make_unique<VoiceRecorder>(
        microphone_(), encoder_(),
        [this, number](std::optional<wire::Bytes> bytes) { finished(number, std::move(bytes)); });
    if (!recorder->start()) return false;
    recorder_ = std::move(recorder);
    number_ = number;
    Q_EMIT recordingChanged();
    return true;
}

void VoiceNotes::stop() {
    next_.reset();
    if (recorder_) recorder_->stop();
}

void VoiceNotes::leaveChat(const std::string& number) {
    if (next_ == number) next_.reset();
    if (recorder_ && number_ == number) recorder_->stop();
}

void VoiceNotes::finished(const std::string& number, std::optional<wire::Bytes> bytes) {
    // This runs inside the recorder's own callback: it goes once that returns.
    recorder_.release()->deleteLater();
    number_.clear();
    Q_EMIT recordingChanged();
    std::optional<Uuid> id;
    if (bytes && !bytes->empty()) id = host_.sendAttachment(*bytes, "audio", "voice.m4a", number);
    Q_EMIT ended(id.has_value());
    if (auto next = std::exchange(next_, std::nullopt)) start(*next);
}

}  // namespace merrowfax

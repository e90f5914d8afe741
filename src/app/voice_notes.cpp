#include "app/voice_notes.h"

#include "app/app_model.h"
#include "media/voice_recorder.h"

namespace merrowfax {

VoiceNotes::VoiceNotes(AppModel& model, Microphone microphone, QObject* parent)
    : QObject(parent), model_(model), microphone_(std::move(microphone)) {
    connect(&model_, &AppModel::activeChanged, this, [this] {
        if (model_.active()) stop();
    });
}

VoiceNotes::~VoiceNotes() = default;

bool VoiceNotes::start(const std::string& number) {
    if (recorder_ || model_.active() || !microphone_) return false;
    auto recorder = std::make_unique<VoiceRecorder>(
        microphone_(),
        [this, number](std::optional<wire::Bytes> bytes) { finished(number, std::move(bytes)); });
    if (!recorder->start()) return false;
    recorder_ = std::move(recorder);
    Q_EMIT recordingChanged();
    return true;
}

void VoiceNotes::stop() {
    if (recorder_) recorder_->stop();
}

void VoiceNotes::finished(const std::string& number, std::optional<wire::Bytes> bytes) {
    // This runs inside the recorder's own callback: it goes once that returns.
    recorder_.release()->deleteLater();
    Q_EMIT recordingChanged();
    std::optional<Uuid> id;
    if (bytes && !bytes->empty()) id = model_.sendAttachment(*bytes, "audio", "voice.m4a", number);
    Q_EMIT ended(id.has_value());
}

}  // namespace merrowfax

#include "ui/bridge/current_call.h"

namespace merrowfax::ui {
namespace {

// Sets `field` and signals, only when the value changed.
template <typename T, typename Signal>
void update(CurrentCall* call, T& field, T value, Signal changed) {
    if (field == value) return;
    field = std::move(value);
    Q_EMIT(call->*changed)();
}

}  // namespace

CurrentCall::CurrentCall(AppModel& model, QObject* parent) : QObject(parent), model_(model) {
    connect(&model_.calls(), &CallController::incomingChanged, this, &CurrentCall::refresh);
    connect(&model_.calls(), &CallController::activeChanged, this, &CurrentCall::refresh);
    connect(&model_.calls().media(), &CallMedia::remoteImageChanged, this,
            &CurrentCall::remoteImageChanged);
    connect(&model_.calls().media(), &CallMedia::localPreviewChanged, this,
            &CurrentCall::localPreviewChanged);
    refresh();
}

void CurrentCall::refresh() {
    QString number, name;
    bool video = false;
    Phase phase = Idle;
    Direction direction = direction_;  // an ended call keeps its last one
    double connectedAtMs = -1;
    if (const auto& call = model_.calls().active()) {
        number = QString::fromStdString(call->number);
        name = QString::fromStdString(call->name);
        video = call->video;
        phase = call->phase == CallPhase::active ? Connected : Dialing;
        direction = call->outgoing ? Outgoing : Incoming;
        if (call->startedAt) {
            connectedAtMs = (*call->startedAt + kReferenceDateUnixSeconds) * 1000.0;
        }
    } else if (const auto& ringing = model_.calls().incoming()) {
        number = QString::fromStdString(ringing->number);
        name = QString::fromStdString(ringing->name);
        video = ringing->video;
        phase = Ringing;
        direction = Incoming;
    }
    // The phase last, so that a screen reacting to it sees the rest settled.
    const bool wasPresent = present();
    update(this, number_, std::move(number), &CurrentCall::numberChanged);
    update(this, name_, std::move(name), &CurrentCall::nameChanged);
    update(this, video_, video, &CurrentCall::videoChanged);
    update(this, direction_, direction, &CurrentCall::directionChanged);
    update(this, connectedAtMs_, connectedAtMs, &CurrentCall::connectedAtMsChanged);
    update(this, phase_, phase, &CurrentCall::phaseChanged);
    if (present() != wasPresent) Q_EMIT presentChanged();
}

}  // namespace merrowfax::ui

#include "ui/bridge/calls_bridge.h"

#include "ui/bridge/bridge_text.h"

namespace merrowfax::ui {

CallsBridge::CallsBridge(AppModel& model, QObject* parent)
    : QObject(parent), model_(model), call_(new CurrentCall(model, this)) {
    for (auto changed :
         {&CallMedia::mutedChanged, &CallMedia::speakerOnChanged, &CallMedia::videoOnChanged}) {
        connect(&media(), changed, this, &CallsBridge::mediaChanged);
    }
    const WalkieController& walkie = model_.walkie();
    for (auto changed : {&WalkieController::holdingTalkChanged,
                         &WalkieController::talkTargetChanged, &WalkieController::partnerChanged}) {
        connect(&walkie, changed, this, &CallsBridge::walkieChanged);
    }
    for (auto changed : {&WalkieTalk::statusChanged, &WalkieTalk::transmittingChanged,
                         &WalkieTalk::hearingChanged}) {
        connect(&walkie.engine(), changed, this, &CallsBridge::walkieChanged);
    }
    connect(&walkie, &WalkieController::lockScreenTalkChanged, this,
            &CallsBridge::lockScreenTalkChanged);
    connect(&walkie, &WalkieController::contactsOnlyChanged, this,
            &CallsBridge::walkieContactsOnlyChanged);
}

QString CallsBridge::talkTarget() const {
    return qt(model_.walkie().talkTarget().value_or(std::string()));
}

QString CallsBridge::walkiePartner() const {
    return qt(model_.walkie().partner().value_or(std::string()));
}

void CallsBridge::startCall(const QString& number, bool video) {
    model_.calls().startCall(std8(number), video);
}

void CallsBridge::pressTalk(const QString& number) {
    WalkieController& walkie = model_.walkie();
    // A press already under way to this number (a repeated key) stays as it is.
    if (walkie.holdingTalk() && walkie.talkTarget() == std8(number)) return;
    walkie.holdTalk(std8(number));
}

void CallsBridge::releaseTalk(const QString& number) {
    WalkieController& walkie = model_.walkie();
    if (walkie.talkTarget() == std8(number) || walkie.holdingTalk()) walkie.endTalk(std8(number));
}

void CallsBridge::pressWalkieBar() {
    WalkieController& walkie = model_.walkie();
    if (walkie.holdingTalk()) return;
    if (const auto& partner = walkie.partner()) {
        walkie.holdTalk(*partner);
    } else {
        model_.setAlert("Open a contact and hold Walkie to talk to that person.");
    }
}

void CallsBridge::releaseWalkieBar() {
    WalkieController& walkie = model_.walkie();
    if (const auto& target = walkie.talkTarget()) walkie.endTalk(*target);
}

}  // namespace merrowfax::ui

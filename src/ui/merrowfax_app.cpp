#include "ui/merrowfax_app.h"

#include <QGuiApplication>

#include "app/composition.h"
#include "app/voice_notes.h"

namespace merrowfax::ui {

MerrowfaxApp::MerrowfaxApp(const std::filesystem::path& dataFolder, QObject* parent)
    : QObject(parent) {
    FrontEnd window;
    window.isActive = [] {
        return QGuiApplication::applicationState() == Qt::ApplicationActive;
    };
    window.audioInput = qEnvironmentVariable("MERROWFAX_AUDIO_INPUT").toStdString();
    window.audioOutput = qEnvironmentVariable("MERROWFAX_AUDIO_OUTPUT").toStdString();
    window.camera = qEnvironmentVariable("MERROWFAX_CAMERA").toStdString();
    window.sounds = true;
    // MERROWFAX_NO_LAN set: no direct link to devices on the network.
    window.lan = qEnvironmentVariableIsEmpty("MERROWFAX_NO_LAN");
    Composition made = compose(std::move(window));
    model_ = std::make_unique<AppModel>(dataFolder, std::move(made.components));
    voice_ = std::make_unique<VoiceNotes>(*model_, std::move(made.microphone));
    bridge_ = std::make_unique<AppBridge>(*model_);
    bridge_->setVoiceNotes(voice_.get());
}

MerrowfaxApp::~MerrowfaxApp() {
    bridge_.reset();
    model_->save();
}

}  // namespace merrowfax::ui

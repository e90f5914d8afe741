#include "ui/merrowfax_app.h"

#include <QGuiApplication>

#include "app/composition.h"

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
    model_ =
        std::make_unique<AppModel>(dataFolder, std::move(compose(std::move(window)).components));
    bridge_ = std::make_unique<AppBridge>(*model_);
}

MerrowfaxApp::~MerrowfaxApp() {
    bridge_.reset();
    model_->save();
}

}  // namespace merrowfax::ui

#include "ui/merrowfax_app.h"

#include <QGuiApplication>

#include <utility>

#include "composition/composition.h"

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
    bridge_ = std::make_unique<AppBridge>(*model_);
    // The last window closing is a quit of ours, so a call can be hung up
    // before the event loop ends.
    if (qGuiApp) {
        QGuiApplication::setQuitOnLastWindowClosed(false);
        connect(qGuiApp, &QGuiApplication::lastWindowClosed, this, &MerrowfaxApp::quit);
    }
    quitSignals_ = std::make_unique<QuitSignals>([this] { quit(); });
}

void MerrowfaxApp::quit() {
    if (std::exchange(quitting_, true)) return;
    model_->prepareToQuit([] { QCoreApplication::quit(); });
}

MerrowfaxApp::~MerrowfaxApp() {
    bridge_.reset();
    model_->save();
}

}  // namespace merrowfax::ui

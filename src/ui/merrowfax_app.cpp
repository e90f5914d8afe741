#include "ui/merrowfax_app.h"

#include <QGuiApplication>

#include <utility>

#include "composition/composition.h"

namespace merrowfax::ui {

MerrowfaxApp::MerrowfaxApp(const std::filesystem::path& dataFolder, std::unique_ptr<Tray> tray,
                           QObject* parent)
    : QObject(parent), tray_(std::move(tray)) {
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
    // The last window closing is ours to handle: the program stays in the
    // tray, or a call is hung up before the event loop ends.
    if (qGuiApp) {
        QGuiApplication::setQuitOnLastWindowClosed(false);
        connect(qGuiApp, &QGuiApplication::lastWindowClosed, this, &MerrowfaxApp::windowClosed);
    }
    quitSignals_ = std::make_unique<QuitSignals>([this] { quit(); });

    tray_->onOpen = [this] {
        Q_EMIT windowRequested();
    };
    tray_->onQuit = [this] {
        quit();
    };
    connect(&model_->messaging(), &Messaging::unreadChanged, this, &MerrowfaxApp::updateTray);
    connect(model_.get(), &AppModel::accountChanged, this, &MerrowfaxApp::updateTray);
    updateTray();
    connect(&model_->notices(), &Notices::windowRequested, this, &MerrowfaxApp::windowRequested);
    connect(&model_->notices(), &Notices::chatRequested, this, [this](const std::string& number) {
        Q_EMIT chatRequested(QString::fromStdString(number));
    });
}

void MerrowfaxApp::updateTray() {
    // Without a number there is nothing to wait for in the background.
    tray_->setShown(model_->account().has_value());
    tray_->setUnread(model_->messaging().unreadCount());
}

void MerrowfaxApp::windowClosed() {
    if (model_->account() && model_->keepInTray() && tray_->available()) return;
    quit();
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

#include "ui/merrowfax_app.h"

#include <QGuiApplication>

#include "platform/computer_identity.h"
#include "platform/notifier.h"
#include "transport/internet_line.h"
#include "transport/service_address.h"

namespace merrowfax::ui {

MerrowfaxApp::MerrowfaxApp(const std::filesystem::path& dataFolder, QObject* parent)
    : QObject(parent) {
    AppComponents parts;
    parts.line = std::make_unique<InternetLine>(serviceAddress());
    // The LAN link, call media, walkie and sounds join with their engines;
    // until then the defaults of AppComponents stand in for them.
    parts.notifier = makeDesktopNotifier();
    parts.isActive = [] {
        return QGuiApplication::applicationState() == Qt::ApplicationActive;
    };
    parts.computerIdentity = computerIdentity();
    model_ = std::make_unique<AppModel>(dataFolder, std::move(parts));
    bridge_ = std::make_unique<AppBridge>(*model_);
}

MerrowfaxApp::~MerrowfaxApp() {
    bridge_.reset();
    model_->save();
}

}  // namespace merrowfax::ui

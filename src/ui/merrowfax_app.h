#pragma once

#include <QObject>

#include <filesystem>
#include <memory>

#include "app/app_model.h"
#include "platform/quit_signals.h"
#include "platform/tray.h"
#include "ui/bridge/app_bridge.h"

namespace merrowfax::ui {

// The application: one AppModel for the life of the process, with the
// devices of this desktop, the bridge every screen is handed, and the tray
// icon that keeps it running when its window closes.
class MerrowfaxApp : public QObject {
    Q_OBJECT

public:
    explicit MerrowfaxApp(const std::filesystem::path& dataFolder,
                          std::unique_ptr<Tray> tray = std::make_unique<NoTray>(),
                          QObject* parent = nullptr);
    ~MerrowfaxApp() override;

    AppModel& model() { return *model_; }
    AppBridge& bridge() { return *bridge_; }

    // "Quit" in the tray, the window closed without a tray to stay in, or
    // the system asked the program to stop: a call under way is hung up,
    // then the event loop ends.
    void quit();

Q_SIGNALS:
    // The window should come forward (the tray icon, a call's notice).
    void windowRequested();
    // The window should come forward with the chat of `number` open.
    void chatRequested(const QString& number);

private:
    void windowClosed();
    void updateTray();

    bool quitting_ = false;
    std::unique_ptr<QuitSignals> quitSignals_;
    std::unique_ptr<Tray> tray_;
    std::unique_ptr<AppModel> model_;
    std::unique_ptr<AppBridge> bridge_;
};

}  // namespace merrowfax::ui

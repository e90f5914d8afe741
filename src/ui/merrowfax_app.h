#pragma once

#include <QObject>

#include <filesystem>
#include <memory>

#include "app/app_model.h"
#include "platform/quit_signals.h"
#include "ui/bridge/app_bridge.h"

namespace merrowfax::ui {

// The application: one AppModel for the life of the process, with the
// devices of this desktop, and the bridge every screen is handed.
class MerrowfaxApp : public QObject {
    Q_OBJECT

public:
    explicit MerrowfaxApp(const std::filesystem::path& dataFolder, QObject* parent = nullptr);
    ~MerrowfaxApp() override;

    AppModel& model() { return *model_; }
    AppBridge& bridge() { return *bridge_; }

    // The window closed or the system asked the program to stop: a call
    // under way is hung up, then the event loop ends.
    void quit();

private:
    bool quitting_ = false;
    std::unique_ptr<QuitSignals> quitSignals_;
    std::unique_ptr<AppModel> model_;
    std::unique_ptr<AppBridge> bridge_;
};

}  // namespace merrowfax::ui

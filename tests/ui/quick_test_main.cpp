// Qt Quick Test of the screens on the offscreen platform. Two bridges go to
// every test file: `freshApp` (no account yet) and `seededApp` (an account
// with two chats), both over fake transports.

#include <QtQml/qqmlextensionplugin.h>
#include <QtQuickTest/quicktest.h>
#include <QQmlContext>
#include <QQmlEngine>
#include <QTemporaryDir>

#include <memory>

#include "ui/bridge/app_bridge.h"
#include "ui/bridge/icons.h"
#include "ui/engine_setup.h"
#include "ui_fixture.h"

Q_IMPORT_QML_PLUGIN(MerrowfaxPlugin)

namespace {

using namespace merrowfax;

struct TestApp {
    QTemporaryDir dir;
    std::unique_ptr<AppModel> model;
    std::unique_ptr<ui::AppBridge> bridge;

    explicit TestApp(bool seeded) {
        const std::filesystem::path folder = dir.path().toStdString();
        if (seeded) {
            Store store(folder);
            store.save(ui::seededDatabase(store, true));
        }
        ui::UiParts parts = ui::testParts();
        model = std::make_unique<AppModel>(folder, std::move(parts.components));
        bridge = std::make_unique<ui::AppBridge>(*model);
    }
};

class Setup : public QObject {
    Q_OBJECT

public Q_SLOTS:
    void applicationAvailable() { ui::useIconTheme(); }
    void qmlEngineAvailable(QQmlEngine* engine) {
        fresh_ = std::make_unique<TestApp>(false);
        seeded_ = std::make_unique<TestApp>(true);
        ui::prepareEngine(*engine);
        engine->rootContext()->setContextProperty(QStringLiteral("freshApp"), fresh_->bridge.get());
        engine->rootContext()->setContextProperty(QStringLiteral("seededApp"),
                                                  seeded_->bridge.get());
    }
    void cleanupTestCase() {
        fresh_.reset();
        seeded_.reset();
    }

private:
    std::unique_ptr<TestApp> fresh_;
    std::unique_ptr<TestApp> seeded_;
};

}  // namespace

QUICK_TEST_MAIN_WITH_SETUP(screens, Setup)

#include "quick_test_main.moc"

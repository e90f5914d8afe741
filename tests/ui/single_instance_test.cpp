// One window per data folder: real merrowfax processes on the offscreen
// platform, each with the same private data folder.
#include <gtest/gtest.h>
#include <signal.h>

#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>

#include <memory>

#include "support/event_wait.h"
#include "ui/single_instance.h"

namespace merrowfax::testing {
namespace {

class SingleWindow : public ::testing::Test {
protected:
    std::unique_ptr<QProcess> launch(const QStringList& arguments = {}) {
        auto window = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("XDG_DATA_HOME"), home_.path() + QStringLiteral("/data"));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home_.path() + QStringLiteral("/config"));
        env.insert(QStringLiteral("MERROWFAX_SERVICE"), QStringLiteral("ws://127.0.0.1:9"));
        env.insert(QStringLiteral("MERROWFAX_NO_LAN"), QStringLiteral("1"));
        window->setProcessEnvironment(env);
        window->start(QStringLiteral(MERROWFAX_WINDOW_BINARY), arguments);
        window->waitForStarted();
        return window;
    }
    // The window took its place: its socket answers.
    bool serving() {
        const std::filesystem::path data = home_.path().toStdString() + "/data/Merrowfax";
        return spinUntil(
            [&] {
                QLocalSocket probe;
                probe.connectToServer(ui::SingleInstance::nameFor(data));
                return probe.waitForConnected(100);
            },
            10000);
    }
    static bool endsWith(QProcess& p, int code, int ms) {
        return spinUntil([&] { return p.state() == QProcess::NotRunning; }, ms) &&
               p.exitStatus() == QProcess::NormalExit && p.exitCode() == code;
    }

    QTemporaryDir home_;
};

TEST_F(SingleWindow, ASecondLaunchHandsOverAndEndsEvenAfterTheFirstCrashed) {
    auto first = launch();
    ASSERT_TRUE(serving());
    auto second = launch({QStringLiteral("merrowfax://add?name=Ann&number=0-1-234-5678")});
    EXPECT_TRUE(endsWith(*second, 0, 5000)) << "the second launch handed over";
    EXPECT_EQ(first->state(), QProcess::Running);

    // Killed, the first leaves its socket behind; the next launch takes over.
    ::kill(static_cast<pid_t>(first->processId()), SIGKILL);
    first->waitForFinished();
    auto third = launch();
    ASSERT_TRUE(serving());
    EXPECT_EQ(third->state(), QProcess::Running);
    auto fourth = launch();
    EXPECT_TRUE(endsWith(*fourth, 0, 5000));
    third->kill();
    third->waitForFinished();
}

}  // namespace
}  // namespace merrowfax::testing

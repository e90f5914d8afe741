#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include <canberra.h>

#include "platform/canberra_sounds.h"

namespace merrowfax {
namespace {

using namespace std::chrono_literals;

// What the sound thread reports, for the test's thread to wait on.
struct Outcomes {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<SystemSound, int>> played;

    CanberraSounds::OnPlayed recorder() {
        return [this](SystemSound sound, int error) {
            std::lock_guard lock(mutex);
            played.emplace_back(sound, error);
            changed.notify_all();
        };
    }
    bool waitFor(std::size_t count, std::chrono::seconds limit) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, limit, [&] { return played.size() >= count; });
    }
};

// A sound server of the test's own with one sink that plays into nothing.
class PrivateSoundServer {
public:
    PrivateSoundServer() {
        const QString program = QStandardPaths::findExecutable(QStringLiteral("pulseaudio"));
        if (program.isEmpty()) return;
        socket_ = dir_.filePath(QStringLiteral("native"));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), dir_.path());
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir_.path());
        server_.setProcessEnvironment(env);
        server_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        server_.start(program,
                      {QStringLiteral("--daemonize=no"), QStringLiteral("-n"),
                       QStringLiteral("--use-pid-file=no"), QStringLiteral("--exit-idle-time=-1"),
                       QStringLiteral("--log-level=0"),
                       QStringLiteral("--load=module-null-sink sink_name=nowhere"),
                       QStringLiteral("--load=module-native-protocol-unix socket=") + socket_ +
                           QStringLiteral(" auth-anonymous=1")});
        QElapsedTimer waited;
        waited.start();
        while (!QFile::exists(socket_) && waited.elapsed() < 10000) QThread::msleep(20);
    }
    ~PrivateSoundServer() {
        server_.kill();
        server_.waitForFinished(5000);
    }
    bool running() const { return QFile::exists(socket_); }
    QString address() const { return QStringLiteral("unix:") + socket_; }

private:
    QTemporaryDir dir_;
    QString socket_;
    QProcess server_;
};

// Points libpulse at `address` for one test.
struct SoundServerAddress {
    explicit SoundServerAddress(const QString& address) {
        qputenv("PULSE_SERVER", address.toUtf8());
    }
    ~SoundServerAddress() { qunsetenv("PULSE_SERVER"); }
};

TEST(DesktopSounds, WithoutASoundServerPlayingReturnsAtOnceAndPlaysNothing) {
    QTemporaryDir dir;
    const SoundServerAddress nowhere(QStringLiteral("unix:") +
                                     dir.filePath(QStringLiteral("none")));
    Outcomes outcomes;
    QElapsedTimer timer;
    timer.start();
    {
        CanberraSounds sounds(outcomes.recorder());
        for (int i = 0; i < 3; ++i) sounds.play(SystemSound::ring);
        sounds.play(SystemSound::newText);
        EXPECT_LT(timer.elapsed(), 1000) << "play() only queues";
        ASSERT_TRUE(outcomes.waitFor(4, 10s));
    }
    EXPECT_LT(timer.elapsed(), 10000) << "closing does not hang";
    for (const auto& [sound, error] : outcomes.played) EXPECT_NE(error, 0);
    EXPECT_EQ(outcomes.played.back().first, SystemSound::newText);
}

TEST(DesktopSounds, ThemeSoundsReachTheSoundServerAndARingCutsOffTheLast) {
    PrivateSoundServer server;
    if (!server.running()) GTEST_SKIP() << "no PulseAudio to start";
    const SoundServerAddress address(server.address());
    Outcomes outcomes;
    {
        CanberraSounds sounds(outcomes.recorder());
        sounds.play(SystemSound::newText);
        ASSERT_TRUE(outcomes.waitFor(1, 20s));
        if (outcomes.played[0].second == CA_ERROR_NODRIVER) {
            GTEST_SKIP() << "libcanberra has no PulseAudio driver here";
        }
        EXPECT_EQ(outcomes.played[0], std::make_pair(SystemSound::newText, 0)) << "played through";

        // The second ring is due while the first still plays: the first stops.
        sounds.play(SystemSound::ring);
        std::this_thread::sleep_for(300ms);
        sounds.play(SystemSound::ring);
        ASSERT_TRUE(outcomes.waitFor(3, 20s));
        EXPECT_EQ(outcomes.played[1].first, SystemSound::ring);
        EXPECT_NE(outcomes.played[1].second, 0) << "cut off";
        EXPECT_EQ(outcomes.played[2], std::make_pair(SystemSound::ring, 0));
    }
}

TEST(DesktopSounds, EachSoundHasItsThemeName) {
    EXPECT_STREQ(CanberraSounds::eventId(SystemSound::ring), "phone-incoming-call");
    EXPECT_STREQ(CanberraSounds::eventId(SystemSound::newText), "message-new-instant");
}

}  // namespace
}  // namespace merrowfax

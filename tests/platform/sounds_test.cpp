#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <canberra.h>

#include "platform/canberra_sounds.h"
#include "support/pulse_server.h"

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

bool eventually(const std::function<bool()>& done, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

int loudest(const std::vector<std::int16_t>& samples) {
    int most = 0;
    for (std::int16_t s : samples) most = std::max(most, std::abs(static_cast<int>(s)));
    return most;
}

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
    if (!testing::PulseServer::available()) GTEST_SKIP() << "pulseaudio is not installed";
    const testing::PulseServer server;  // points PULSE_SERVER at itself
    const testing::MonitorRecorder speaker(server);
    // Recording before the first sound plays: parec takes a moment to connect.
    ASSERT_TRUE(eventually([&] { return !speaker.samples().empty(); }, 10s));
    Outcomes outcomes;
    {
        CanberraSounds sounds(outcomes.recorder());
        sounds.play(SystemSound::newText);
        ASSERT_TRUE(outcomes.waitFor(1, 20s));
        ASSERT_NE(outcomes.played[0].second, CA_ERROR_NODRIVER)
            << "libcanberra's PulseAudio driver (libcanberra-pulse) is missing";
        EXPECT_EQ(outcomes.played[0], std::make_pair(SystemSound::newText, 0)) << "played through";
        EXPECT_TRUE(eventually([&] { return loudest(speaker.samples()) > 1000; }, 3s))
            << "the speaker played it";

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

}  // namespace
}  // namespace merrowfax

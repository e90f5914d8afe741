// Screen capture from a private Xvfb: what the root window shows, scaled to
// the size a share sends, and a frame only when something changed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <vector>

#include "platform/x11_screen.h"
#include "support/event_wait.h"
#include "support/x11_client.h"
#include "support/xvfb_server.h"

namespace merrowfax::testing {
namespace {

using namespace std::chrono_literals;

std::uint32_t rgbAt(const ScreenFrame& f, int x, int y) {
    const std::uint8_t* p = f.bgrx.data() + static_cast<std::size_t>(y) * f.stride() + x * 4;
    return (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) | p[0];
}

TEST(ScreenCapture, TheLongestSideIsAtMostSixteenHundredAndNeverScaledUp) {
    EXPECT_EQ(captureSize({2560, 1600}), QSize(1600, 1000));
    EXPECT_EQ(captureSize({1920, 1080}), QSize(1600, 900));
    EXPECT_EQ(captureSize({1280, 800}), QSize(1280, 800));
    EXPECT_EQ(captureSize({1, 1}), QSize(2, 2));
}

TEST(ScreenCapture, ThePrimaryMonitorArrivesScaledAndOnlyWhenItChanges) {
    if (!XvfbServer::available()) GTEST_SKIP() << "Xvfb is missing";
    EXPECT_FALSE(X11Screen(":4711").available()) << "no server there";
    XvfbServer x(2560, 1600);
    paintRoot(x.display(), {0, 0, 1280, 1600}, 0xff0000);
    paintRoot(x.display(), {1280, 0, 1280, 1600}, 0x0000ff);

    X11Screen screen(x.display());
    ASSERT_TRUE(screen.available());
    EXPECT_EQ(screen.size(), QSize(2560, 1600));
    std::mutex lock;
    std::vector<ScreenFrame> frames;
    auto count = [&] {
        std::lock_guard hold(lock);
        return frames.size();
    };
    ASSERT_TRUE(screen.start(40ms, [&](ScreenFrame frame) {
        std::lock_guard hold(lock);
        frames.push_back(std::move(frame));
    }));
    ASSERT_TRUE(spinUntil([&] { return count() == 1; }, 3000));
    EXPECT_EQ(frames[0].width, 1600);
    EXPECT_EQ(frames[0].height, 1000);
    EXPECT_EQ(rgbAt(frames[0], 300, 200), 0xff0000u);
    EXPECT_EQ(rgbAt(frames[0], 1300, 200), 0x0000ffu);

    spinUntil([] { return false; }, 400);
    EXPECT_EQ(count(), 1u) << "an unchanged screen sends nothing";
    paintRoot(x.display(), {0, 0, 400, 400}, 0x00ff00);
    ASSERT_TRUE(spinUntil([&] { return count() >= 2; }, 3000));
    screen.stop();
    EXPECT_EQ(rgbAt(frames.back(), 100, 100), 0x00ff00u);
    EXPECT_EQ(rgbAt(frames.back(), 300, 600), 0xff0000u);
}

}  // namespace
}  // namespace merrowfax::testing

// Input posted through XTest into a private Xvfb, as a real X client (xev,
// listening on the root window) receives it.
#include <gtest/gtest.h>

#include "platform/x11_input.h"
#include "support/event_wait.h"
#include "support/x11_client.h"
#include "support/xvfb_server.h"

namespace merrowfax::testing {
namespace {

TEST(X11Input, PointerButtonsAndAnyTextReachAnXClient) {
    if (!XvfbServer::available()) GTEST_SKIP() << "Xvfb is missing";
    XvfbServer x(1440, 900);
    Xev xev(x.display());
    X11Input input(x.display());
    ASSERT_TRUE(input.available());
    EXPECT_EQ(input.monitor(), QRect(0, 0, 1440, 900));

    input.move({720, 225});
    input.button(InputInjector::kLeft, true);
    input.button(InputInjector::kLeft, false);
    input.button(InputInjector::kWheelDown, true);
    input.button(InputInjector::kWheelDown, false);
    EXPECT_TRUE(spinUntil([&] { return xev.log().contains(QStringLiteral("button 5")); }, 3000));
    EXPECT_TRUE(xev.log().contains(QStringLiteral("root:(720,225)")));
    EXPECT_TRUE(xev.log().contains(QStringLiteral("button 1")));

    // Letters of the map, capitals through Shift, and characters it lacks.
    input.text(U"héllo Wörld ∑");
    input.key(0xff0d, true);
    input.key(0xff0d, false);
    EXPECT_TRUE(spinUntil([&] { return xev.typed() == U"héllo Wörld ∑\n"; }, 3000))
        << xev.log().right(2000).toStdString();
}

}  // namespace
}  // namespace merrowfax::testing

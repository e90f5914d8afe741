// Input posted through XTest into a private Xvfb, as a real X client (xev,
// listening on the root window) receives it.
#include <gtest/gtest.h>

#include <QProcess>
#include <QRegularExpression>

#include <string>

#include "platform/x11_input.h"
#include "support/event_wait.h"
#include "support/xvfb_server.h"

namespace merrowfax::testing {
namespace {

// xev on the root window of `display`: what it reported so far.
class Xev {
public:
    explicit Xev(const std::string& display) {
        process_.start(QStringLiteral("xev"),
                       {QStringLiteral("-display"), QString::fromStdString(display),
                        QStringLiteral("-root"), QStringLiteral("-event"), QStringLiteral("mouse"),
                        QStringLiteral("-event"), QStringLiteral("keyboard")});
        process_.waitForStarted();
        spinUntil([] { return false; }, 500);  // it selects its events
    }
    ~Xev() {
        process_.kill();
        process_.waitForFinished();
    }
    QString log() {
        log_ += QString::fromLocal8Bit(process_.readAllStandardOutput());
        return log_;
    }
    // The characters of the keys pressed, from their keysyms.
    std::u32string typed() {
        static const QRegularExpression press(
            QStringLiteral("KeyPress event.*?keysym 0x([0-9a-f]+),"),
            QRegularExpression::DotMatchesEverythingOption);
        std::u32string out;
        for (const auto& m : press.globalMatch(log())) {
            const std::uint32_t keysym = m.captured(1).toUInt(nullptr, 16);
            if (keysym == 0xffe1) continue;  // Shift
            out.push_back(keysym >= 0x01000000 ? keysym - 0x01000000
                          : keysym == 0xff0d   ? U'\n'
                                               : keysym);
        }
        return out;
    }

private:
    QProcess process_;
    QString log_;
};

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

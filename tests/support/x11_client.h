#pragma once
// What screen-sharing tests do as X clients of a private Xvfb: paint the
// root window, and listen on it with xev to see what input arrived.

#include <xcb/xcb.h>

#include <QProcess>
#include <QRect>
#include <QRegularExpression>

#include <cstdlib>
#include <string>

#include "support/event_wait.h"

namespace merrowfax::testing {

// Paints a rectangle of the root window (no window manager: the root is what
// the screen shows), and waits until the server did it.
inline void paintRoot(const std::string& display, QRect r, std::uint32_t rgb) {
    xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, screen->root, XCB_GC_FOREGROUND, &rgb);
    const xcb_rectangle_t rect{static_cast<std::int16_t>(r.x()), static_cast<std::int16_t>(r.y()),
                               static_cast<std::uint16_t>(r.width()),
                               static_cast<std::uint16_t>(r.height())};
    xcb_poly_fill_rectangle(c, screen->root, gc, 1, &rect);
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    xcb_disconnect(c);
}

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
    // The characters of the keys pressed, from their keysyms; Return as "\n".
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

}  // namespace merrowfax::testing

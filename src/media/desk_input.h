#pragma once

#include <QPoint>
#include <QRect>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/input_injector.h"

namespace merrowfax {

// The keysym of a key a viewer presses by name: "return", "delete" (as
// backspace), "escape", "tab" and the four arrows; nothing for any other.
std::optional<std::uint32_t> deskKeysym(std::string_view name);

// A viewer's point, fractions of the picture from its top-left corner, on
// `monitor`: clamped to it; nothing when the monitor is 1 pixel or less
// across or the point is not a number.
std::optional<QPoint> mapPoint(double x, double y, const QRect& monitor);

// Turns a sharing viewer's control events into input on this desktop: the
// pointer's phases with the left button, clicks with their count, scroll as
// wheel steps of kScrollStep pixels with the rest carried to the next, text
// and named keys. Input is bounded: at most kActionsPerSecond actions, and
// kMaxTextCharacters of one text; the rest is dropped.
class DeskInput {
public:
    static constexpr int kScrollStep = 40;
    static constexpr int kMaxScroll = 800;  // pixels of one scroll event
    static constexpr int kMaxClicks = 3;
    static constexpr std::size_t kMaxTextCharacters = 2000;
    static constexpr double kActionsPerSecond = 120;

    explicit DeskInput(InputInjector& injector);

    // Phase "down", "drag", "up", or anything else for a plain move.
    void pointer(double x, double y, std::string_view phase);
    void click(double x, double y, std::int64_t clicks);
    void scroll(double x, double y, double dy);
    void text(std::string_view utf8);
    void key(std::string_view name);
    // A new share: the button is let go, no scroll is carried.
    void reset();

private:
    bool take();  // one action of the rate
    std::optional<QPoint> at(double x, double y);

    InputInjector& injector_;
    bool leftDown_ = false;
    int scrollCarry_ = 0;
    double budget_ = kActionsPerSecond;
    std::chrono::steady_clock::time_point refilled_ = std::chrono::steady_clock::now();
};

}  // namespace merrowfax

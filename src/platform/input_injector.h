#pragma once

#include <QPoint>
#include <QRect>

#include <cstdint>
#include <string_view>

namespace merrowfax {

// Posts mouse and keyboard input into this desktop on a remote viewer's
// behalf, in the screen's own pixels.
class InputInjector {
public:
    // Mouse buttons as X numbers them: 1 left, 4 and 5 one wheel step up and down.
    static constexpr int kLeft = 1;
    static constexpr int kWheelUp = 4;
    static constexpr int kWheelDown = 5;

    virtual ~InputInjector() = default;
    // Whether input can be posted at all.
    virtual bool available() const = 0;
    // The main display, where viewers' points are mapped; empty without one.
    virtual QRect monitor() const = 0;
    virtual void move(QPoint to) = 0;
    virtual void button(int button, bool down) = 0;
    // A key by its X keysym, down or up.
    virtual void key(std::uint32_t keysym, bool down) = 0;
    // Typed text, including characters no key of the layout has.
    virtual void text(std::u32string_view characters) = 0;
};

// Headless: nothing is posted.
class NoInputInjector final : public InputInjector {
public:
    bool available() const override { return false; }
    QRect monitor() const override { return {}; }
    void move(QPoint) override {}
    void button(int, bool) override {}
    void key(std::uint32_t, bool) override {}
    void text(std::u32string_view) override {}
};

}  // namespace merrowfax

#pragma once

#include <cstdint>
#include <string_view>

namespace merrowfax {

// One pointer action of a remote viewer, at a point of the shared display
// given as fractions of its width and height (0 to 1).
struct PointerAction {
    enum class Kind { move, press, release, scroll };
    Kind kind = Kind::move;
    double x = 0;
    double y = 0;
    int button = 1;      // 1 left, 2 middle, 3 right
    double scrollX = 0;  // lines; only for scroll
    double scrollY = 0;
};

// Posts mouse and keyboard input into this desktop on a viewer's behalf.
class InputInjector {
public:
    virtual ~InputInjector() = default;
    // Whether input can be posted at all.
    virtual bool available() const = 0;
    virtual void pointer(const PointerAction& action) = 0;
    // A key by its X keysym, down or up.
    virtual void key(std::uint32_t keysym, bool down) = 0;
    // Typed text, including characters no key of the layout has.
    virtual void text(std::string_view utf8) = 0;
};

// Headless: nothing is posted.
class NoInputInjector final : public InputInjector {
public:
    bool available() const override { return false; }
    void pointer(const PointerAction&) override {}
    void key(std::uint32_t, bool) override {}
    void text(std::string_view) override {}
};

}  // namespace merrowfax

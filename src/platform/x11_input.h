#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/input_injector.h"

struct xcb_connection_t;

namespace merrowfax {

// Input posted into an X server through XTest. Text is typed as the
// characters it holds: a character the keyboard map has is typed with its
// key (and Shift where its second level needs it); one it lacks is bound for
// a while to a spare keycode, each character of a text to its own.
class X11Input final : public InputInjector {
public:
    // `display` as in $DISPLAY; empty: $DISPLAY itself.
    explicit X11Input(std::string display = {});
    ~X11Input() override;
    X11Input(const X11Input&) = delete;
    X11Input& operator=(const X11Input&) = delete;

    bool available() const override;
    QRect monitor() const override;
    void move(QPoint to) override;
    void button(int button, bool down) override;
    void key(std::uint32_t keysym, bool down) override;
    void text(std::u32string_view characters) override;

private:
    struct Key {
        std::uint8_t code = 0;
        bool shift = false;
    };
    void loadKeyboard();
    // The key of `keysym`, binding a spare keycode when none has it; nothing
    // when no keycode is spare.
    std::optional<Key> keyFor(std::uint32_t keysym, std::vector<std::uint8_t>& boundNow);
    void press(std::uint8_t code, bool down);
    void sync();

    const std::string display_;
    std::mutex mutex_;
    xcb_connection_t* c_ = nullptr;
    std::uint32_t root_ = 0;
    QRect monitor_;
    std::uint8_t minCode_ = 8, maxCode_ = 255;
    std::map<std::uint32_t, Key> keys_;            // keysym to its key in the map
    std::vector<std::uint8_t> spare_;              // keycodes with no symbols, oldest binding first
    std::map<std::uint8_t, std::uint32_t> bound_;  // spare keycode to the keysym bound now
    std::uint8_t shiftCode_ = 0;
};

}  // namespace merrowfax

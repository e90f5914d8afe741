#include "platform/x11_input.h"

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/x11_screen.h"

namespace merrowfax {
namespace {

constexpr std::uint32_t kShiftL = 0xffe1;

std::uint32_t keysymOf(char32_t c) {
    // Latin-1 keysyms are the characters themselves; the rest of Unicode has
    // keysyms of its own at 0x01000000 + the code point.
    if ((c >= 0x20 && c <= 0x7e) || (c >= 0xa0 && c <= 0xff)) return c;
    return 0x01000000u | static_cast<std::uint32_t>(c);
}

}  // namespace

X11Input::X11Input(std::string display) : display_(std::move(display)) {
    int number = 0;
    c_ = xcb_connect(display_.empty() ? nullptr : display_.c_str(), &number);
    if (xcb_connection_has_error(c_)) return;
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c_));
    for (int i = 0; it.rem > 0 && i < number; ++i) xcb_screen_next(&it);
    if (it.rem == 0) return;
    xcb_test_get_version_reply_t* version =
        xcb_test_get_version_reply(c_, xcb_test_get_version(c_, 2, 2), nullptr);
    if (!version) return;
    std::free(version);
    root_ = it.data->root;
    monitor_ = primaryMonitor(display_).value_or(QRect());
    loadKeyboard();
}

X11Input::~X11Input() {
    xcb_disconnect(c_);
}

bool X11Input::available() const {
    return root_ != 0 && !monitor_.isEmpty();
}

QRect X11Input::monitor() const {
    return monitor_;
}

void X11Input::loadKeyboard() {
    const xcb_setup_t* setup = xcb_get_setup(c_);
    minCode_ = setup->min_keycode;
    maxCode_ = setup->max_keycode;
    xcb_get_keyboard_mapping_reply_t* map = xcb_get_keyboard_mapping_reply(
        c_,
        xcb_get_keyboard_mapping(c_, minCode_, static_cast<std::uint8_t>(maxCode_ - minCode_ + 1)),
        nullptr);
    if (!map) return;
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(map);
    const int per = map->keysyms_per_keycode;
    for (int code = minCode_; code <= maxCode_; ++code) {
        const xcb_keysym_t* row = syms + (code - minCode_) * per;
        const bool empty = std::all_of(row, row + per, [](xcb_keysym_t s) { return s == 0; });
        if (empty) {
            spare_.push_back(static_cast<std::uint8_t>(code));
            continue;
        }
        for (int level = 0; level < std::min(per, 2); ++level) {
            if (row[level] != 0)
                keys_.try_emplace(row[level], Key{static_cast<std::uint8_t>(code), level == 1});
        }
        if (row[0] == kShiftL) shiftCode_ = static_cast<std::uint8_t>(code);
    }
    std::free(map);
}

std::optional<X11Input::Key> X11Input::keyFor(std::uint32_t keysym,
                                              std::vector<std::uint8_t>& boundNow) {
    if (auto it = keys_.find(keysym); it != keys_.end() && (!it->second.shift || shiftCode_))
        return it->second;
    for (const auto& [code, sym] : bound_) {
        if (sym == keysym) return Key{code, false};
    }
    if (spare_.empty()) return std::nullopt;
    // The spare keycode bound longest ago, unless this text uses it already:
    // a client may read the key after its binding changed again.
    auto free = std::find_if(spare_.begin(), spare_.end(), [&](std::uint8_t code) {
        return std::find(boundNow.begin(), boundNow.end(), code) == boundNow.end();
    });
    if (free == spare_.end()) {
        sync();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        boundNow.clear();
        free = spare_.begin();
    }
    const std::uint8_t code = *free;
    spare_.erase(free);
    spare_.push_back(code);
    const xcb_keysym_t both[2] = {keysym, keysym};
    xcb_change_keyboard_mapping(c_, 1, code, 2, both);
    bound_[code] = keysym;
    boundNow.push_back(code);
    return Key{code, false};
}

void X11Input::press(std::uint8_t code, bool down) {
    xcb_test_fake_input(c_, down ? XCB_KEY_PRESS : XCB_KEY_RELEASE, code, XCB_CURRENT_TIME,
                        XCB_NONE, 0, 0, 0);
}

void X11Input::sync() {
    std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
}

void X11Input::move(QPoint to) {
    std::lock_guard lock(mutex_);
    if (!available()) return;
    xcb_test_fake_input(c_, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root_,
                        static_cast<std::int16_t>(to.x()), static_cast<std::int16_t>(to.y()), 0);
    xcb_flush(c_);
}

void X11Input::button(int button, bool down) {
    std::lock_guard lock(mutex_);
    if (!available() || button < 1 || button > 7) return;
    xcb_test_fake_input(c_, down ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE,
                        static_cast<std::uint8_t>(button), XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_flush(c_);
}

void X11Input::key(std::uint32_t keysym, bool down) {
    std::lock_guard lock(mutex_);
    if (!available()) return;
    std::vector<std::uint8_t> boundNow;
    const auto key = keyFor(keysym, boundNow);
    if (!key) return;
    if (key->shift) press(shiftCode_, down);
    press(key->code, down);
    xcb_flush(c_);
}

void X11Input::text(std::u32string_view characters) {
    std::lock_guard lock(mutex_);
    if (!available()) return;
    std::vector<std::uint8_t> boundNow;
    for (char32_t c : characters) {
        const auto key = keyFor(keysymOf(c), boundNow);
        if (!key) continue;
        if (key->shift) press(shiftCode_, true);
        press(key->code, true);
        press(key->code, false);
        if (key->shift) press(shiftCode_, false);
    }
    xcb_flush(c_);
}

}  // namespace merrowfax

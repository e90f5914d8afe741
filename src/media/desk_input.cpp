#include "media/desk_input.h"

#include <QString>

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

namespace merrowfax {

std::optional<std::uint32_t> deskKeysym(std::string_view name) {
    static constexpr std::array<std::pair<std::string_view, std::uint32_t>, 8> kKeys{{
        {"return", 0xff0d},
        {"delete", 0xff08},  // backspace: the key that deletes back
        {"escape", 0xff1b},
        {"tab", 0xff09},
        {"left", 0xff51},
        {"up", 0xff52},
        {"right", 0xff53},
        {"down", 0xff54},
    }};
    for (const auto& [known, keysym] : kKeys) {
        if (known == name) return keysym;
    }
    return std::nullopt;
}

std::optional<QPoint> mapPoint(double x, double y, const QRect& monitor) {
    if (monitor.width() <= 1 || monitor.height() <= 1 || !std::isfinite(x) || !std::isfinite(y))
        return std::nullopt;
    x = std::clamp(x, 0.0, 1.0);
    y = std::clamp(y, 0.0, 1.0);
    return QPoint(
        monitor.x() + std::min(static_cast<int>(x * monitor.width()), monitor.width() - 1),
        monitor.y() + std::min(static_cast<int>(y * monitor.height()), monitor.height() - 1));
}

DeskInput::DeskInput(InputInjector& injector) : injector_(injector) {}

bool DeskInput::take() {
    const auto now = std::chrono::steady_clock::now();
    const double elapsed = std::chrono::duration<double>(now - refilled_).count();
    refilled_ = now;
    budget_ = std::min(kActionsPerSecond, budget_ + elapsed * kActionsPerSecond);
    if (budget_ < 1) return false;
    budget_ -= 1;
    return true;
}

std::optional<QPoint> DeskInput::at(double x, double y) {
    auto point = mapPoint(x, y, injector_.monitor());
    if (!point || !take()) return std::nullopt;
    injector_.move(*point);
    return point;
}

void DeskInput::pointer(double x, double y, std::string_view phase) {
    // A release is never dropped for the rate: a held button would stay held.
    if (phase == "up" && leftDown_) {
        if (auto point = mapPoint(x, y, injector_.monitor())) injector_.move(*point);
        injector_.button(InputInjector::kLeft, false);
        leftDown_ = false;
        return;
    }
    if (!at(x, y)) return;
    if (phase == "down" && !leftDown_) {
        injector_.button(InputInjector::kLeft, true);
        leftDown_ = true;
    }
}

void DeskInput::click(double x, double y, std::int64_t clicks) {
    if (!at(x, y)) return;
    const auto count = std::clamp<std::int64_t>(clicks, 1, kMaxClicks);
    for (std::int64_t i = 0; i < count; ++i) {
        injector_.button(InputInjector::kLeft, true);
        injector_.button(InputInjector::kLeft, false);
    }
}

void DeskInput::scroll(double x, double y, double dy) {
    if (!std::isfinite(dy) || !at(x, y)) return;
    scrollCarry_ += static_cast<int>(std::clamp(dy, double{-kMaxScroll}, double{kMaxScroll}));
    const int steps = scrollCarry_ / kScrollStep;
    scrollCarry_ -= steps * kScrollStep;
    // Content dragged down shows what is above: the wheel turns up.
    const int wheel = steps > 0 ? InputInjector::kWheelUp : InputInjector::kWheelDown;
    for (int i = 0; i < std::abs(steps); ++i) {
        injector_.button(wheel, true);
        injector_.button(wheel, false);
    }
}

void DeskInput::text(std::string_view utf8) {
    if (utf8.empty() || !take()) return;
    const QString decoded = QString::fromUtf8(
        utf8.data(),
        static_cast<qsizetype>(std::min<std::size_t>(utf8.size(), 4 * kMaxTextCharacters)));
    std::u32string typed;
    for (char32_t c : decoded.toStdU32String()) {
        if (typed.size() == kMaxTextCharacters) break;
        if (c == U'\n') {
            if (!typed.empty()) injector_.text(std::exchange(typed, {}));
            injector_.key(*deskKeysym("return"), true);
            injector_.key(*deskKeysym("return"), false);
        } else if (c >= 0x20 && c != 0x7f && c != 0xfffd && !(c >= 0x80 && c < 0xa0)) {
            typed.push_back(c);
        }
    }
    if (!typed.empty()) injector_.text(typed);
}

void DeskInput::key(std::string_view name) {
    const auto keysym = deskKeysym(name);
    if (!keysym || !take()) return;
    injector_.key(*keysym, true);
    injector_.key(*keysym, false);
}

void DeskInput::reset() {
    if (std::exchange(leftDown_, false)) injector_.button(InputInjector::kLeft, false);
    scrollCarry_ = 0;
}

}  // namespace merrowfax

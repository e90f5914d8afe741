#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace merrowfax {

// One notification as the desktop shows it.
struct Notice {
    std::string title;
    std::string body;
    // Buttons, as key and label. The key "default" is a click on the
    // notification itself; desktops show no button for it.
    std::vector<std::pair<std::string, std::string>> actions;
    // A ringing call: urgent, its own sound, and shown until withdrawn.
    bool ringing = false;
};

using NoticeId = std::uint32_t;

// What the user picked on a notification: one of its action keys. Runs on
// the main thread, at most once per notification.
using NoticeAction = std::function<void(const std::string& key)>;

// Local notifications shown by the desktop.
class Notifier {
public:
    virtual ~Notifier() = default;
    // Asks to post notifications with alert and sound; the answer is not used.
    virtual void requestPermission() = 0;
    // Shows `notice` at once; `onAction` hears which action was picked.
    // The id withdraws it.
    virtual NoticeId post(Notice notice, NoticeAction onAction = {}) = 0;
    // Takes a notice off the screen (the call stopped ringing); its action
    // no longer runs. An unknown id does nothing.
    virtual void withdraw(NoticeId id) = 0;
};

// Posts through org.freedesktop.Notifications on the session bus; does nothing
// when no notification service runs.
std::unique_ptr<Notifier> makeDesktopNotifier();

class NoNotifier final : public Notifier {
public:
    void requestPermission() override {}
    NoticeId post(Notice, NoticeAction) override { return 0; }
    void withdraw(NoticeId) override {}
};

}  // namespace merrowfax

#pragma once

#include <memory>
#include <string>

namespace merrowfax {

// Local notifications shown by the desktop.
class Notifier {
public:
    virtual ~Notifier() = default;
    // Asks to post notifications with alert and sound; the answer is not used.
    virtual void requestPermission() = 0;
    // An immediate notification with a fresh identifier and the default sound.
    virtual void post(const std::string& title, const std::string& body) = 0;
};

// Posts through org.freedesktop.Notifications on the session bus; does nothing
// when no notification service runs.
std::unique_ptr<Notifier> makeDesktopNotifier();

class NoNotifier final : public Notifier {
public:
    void requestPermission() override {}
    void post(const std::string&, const std::string&) override {}
};

}  // namespace merrowfax
